#pragma once
// The operations that browse before a restore: "-u" (clients), "-e" (images
// of a client), "-i" (choose images, report source and target disks) and
// "-c" (does a chosen image come with an EFI system partition). Each answers
// onto resp_queue; an operation whose members have the wrong JSON type is
// logged and ignored.
#include <string>
#include <vector>

#include <json/value.h>

#include "external_restore/device_info.h"
#include "server_restore/session_services.h"
#include "server_restore/session_state.h"

namespace server_restore {

void answerClients(const SessionServices& services, SessionState& state);
void answerImages(const SessionServices& services, SessionState& state, const Json::Value& operation);
void answerSelection(const SessionServices& services, SessionState& state, const Json::Value& operation);
void answerEspCheck(const SessionState& state, const Json::Value& operation);

// Every image of `unique` whose key is one of `keys`, in the order of `keys`.
std::vector<SImage> selectImages(const std::vector<SImage>& unique, const std::vector<std::string>& keys);

// Groups the selection by source disk; stops at the first record that cannot
// be downloaded and leaves out records that cannot be decoded.
SourceDiskMap sourceDisks(const SessionServices& services, const std::vector<SImage>& selection);

// "ESPVOL-Present" when the selected image with key `key` has two or more
// associated images (the system volume and the EFI system partition).
std::string espAnswer(const std::vector<SImage>& selection, const std::string& key);

}  // namespace server_restore
