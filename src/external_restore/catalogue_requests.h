#pragma once
// Answers to the user interface's catalogue requests ("-u", "-e", "-c"). Each
// takes the raw message text and sends its reply onto resp_queue. A path
// outside the backup folders that `folders` holds is answered as a folder or
// image that is not there.
#include <string>

#include "external_restore/backup_folders.h"

// Sub-folders of the folder in "args"[0]. An unparsable request gets
// {"error":"invalid json"}; a missing folder or one that cannot be opened an
// empty "Result".
void answerSubFolders(const std::string& message, const BackupFolders& folders);

// Backup points below the folder in "args"[0]. An unparsable request, a
// missing folder or one that cannot be opened gets an empty "Result".
void answerBackupPoints(const std::string& message, const BackupFolders& folders);

// Whether an EFI system partition image comes with the image path in "args".
// An unparsable request gets {"error":"invalid json"}.
void answerEspCheck(const std::string& message, const BackupFolders& folders);
