#pragma once
// The messages restorectl exchanges with the agent: the requests a user
// interface sends and typed views of the replies it gets back. Pure functions;
// no I/O.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

namespace restorectl {

// "init" modes. Any mode other than the server one starts the external-drive
// session; this name only makes the agent's log readable.
inline constexpr const char* kServerMode = "BMR_SERVER";
inline constexpr const char* kExternalMode = "EXTERNAL_DRIVE";

// One target disk of a restore and the images (keys or paths) written onto it.
struct RestoreTarget {
  std::string device;
  std::vector<std::string> images;
};

// Requests. Every one is a single-line JSON object.
std::string initRequest(const std::string& mode);
std::string authRequest(const std::string& password);
std::string startOverRequest();
std::string clientListRequest();                         // server session: {"op": "-u"}
std::string folderListRequest(const std::string& folder);  // external session: -u with args
std::string imageListRequest(const std::string& clientOrFolder);
std::string diskReportRequest(const std::vector<std::string>& images);
std::string espCheckRequest(const std::string& image);
std::string restoreRequest(const std::vector<RestoreTarget>& targets);
std::string mountRequest();
std::string cancelRequest();
std::string networkRequest();
// With `force`, the agent stops its machine even under a running restore.
std::string rebootRequest(bool force = false);
std::string shutdownRequest(bool force = false);

// Writes a request. Every "-" inside a string value is written as the JSON
// escape \u002d (the "op" value excepted): the external-drive session picks
// the kind of a message by searching its raw text for "-m", "-i", "-u", "-e",
// "-c", "-r" and "start-over", so a path such as /backups/web-east/... would
// otherwise turn a "-i" request into an "-e" one. The escape parses back to
// the same text.
std::string encodeRequest(const Json::Value& request);

// A message from the agent. `op` is empty for messages without a text "op"
// (the agent's {"error":"invalid json"} reply).
struct Reply {
  std::string op;
  Json::Value body;
  std::string raw;
};

// Parses one received text; nullopt when it is not a JSON object.
std::optional<Reply> parseReply(const std::string& text);

// The text of a member, or "" when it is missing or not text.
std::string textMember(const Json::Value& object, const char* name);

// "-u" of the server session and of the external session: a list of names.
std::optional<std::vector<std::string>> parseNameList(const Reply& reply);

// One entry of an "-e" answer.
struct ImageEntry {
  std::string letter;
  std::string backupDate;
  std::string path;  // the image key (server) or the image path (external drive)
};
std::optional<std::vector<ImageEntry>> parseImageList(const Reply& reply);

// {"op": "error", "msg": ..., "errorCode": ...}
struct ListingError {
  std::string msg;
  std::string errorCode;
};
ListingError parseListingError(const Reply& reply);

struct TargetPartition {
  std::string name;
  std::string fsType;
  std::string size;        // bytes as decimal text, as the agent sends it
  std::string mountPoint;  // after "-m": the backup folder found on it, or ""
};

struct TargetDisk {
  std::string device;
  std::string model;
  std::int64_t size = 0;  // bytes; -1 when the agent's text is not a number
  std::vector<TargetPartition> partitions;
  std::string inUse;  // why the disk cannot be written now; empty when free
};

struct SourceDisk {
  std::string name;
  std::int64_t size = 0;
  std::vector<std::string> images;
};

// The "-i" answer: "error" "0" carries both disk lists, "1" the counts, "2"
// the first source disk that fits nowhere and the targets smaller than it.
struct DiskReport {
  std::string error;
  std::vector<TargetDisk> targets;
  std::vector<SourceDisk> sources;
  std::uint64_t sourceCount = 0;
  std::uint64_t targetCount = 0;
  std::int64_t sourceSize = 0;
  std::vector<std::int64_t> targetSizes;
};
std::optional<DiskReport> parseDiskReport(const Reply& reply);

// Disks in the shape of the agent's disk inventory ("TargetDrives" of "-i",
// "Result" of "-m"); null gives an empty list.
std::optional<std::vector<TargetDisk>> parseDiskList(const Json::Value& value);

// {"op": "refused", "key", "target", "reason"}: why a drive's target disk was
// refused before anything was written.
struct Refusal {
  std::string key;
  std::string target;
  std::string reason;
};
std::optional<Refusal> parseRefusal(const Reply& reply);

// "-p": progress key -> status; a null "progress" is an empty table.
using ProgressTable = std::map<std::string, std::string>;
std::optional<ProgressTable> parseProgress(const Reply& reply);

}  // namespace restorectl
