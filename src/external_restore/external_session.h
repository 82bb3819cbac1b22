#pragma once

// The restore session for backups on USB drives. Runs on its own detached
// thread; clears isRestoreProcessRunning on every way out.
void RestoreFromExternalDrive();
