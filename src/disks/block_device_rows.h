#pragma once
// The text handling behind lsblk(): rows of `lsblk -P` output into SLsblk
// records, the udevadm query for a row's device node, and the choice of a
// partition row. Kept free of commands so that captured tool output can be
// fed to it directly.
#include <string>
#include <vector>

#include "disks/block_devices.h"

// The four lsblk fields of one row; a missing key gives an empty field and
// devname stays empty.
SLsblk parseLsblkRow(const std::string& line);

// Every line of the output, in order; empty lines between line feeds give
// rows with empty fields, a final line feed adds nothing.
std::vector<SLsblk> parseLsblkListing(const std::string& output);

// The command that writes the DEVNAME property of device number `majMin`
// (e.g. 259:3) into the file "out". Empty when `majMin` is not two decimal
// numbers joined by a colon: the text comes from a tool and ends up on a
// shell command line.
std::string devnameQuery(const std::string& majMin);

// The device node from what devnameQuery left in "out": the first line,
// blanks stripped; empty when the text has no line feed.
std::string devnameFromQueryOutput(const std::string& output);

