#pragma once

// The restore session against the backup server: login, browsing, disk
// report, restore. Runs on its own detached thread; clears
// isRestoreProcessRunning on every way out.
void restore_from_bmr_server();
