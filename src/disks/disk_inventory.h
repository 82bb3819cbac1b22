#pragma once
// The local disks with their partitions as a JSON value: the USB disks
// (usb_only) or all the others. JSON null when no disk qualifies.
#include <json/value.h>

Json::Value GetDiskInfo(bool usb_only);
