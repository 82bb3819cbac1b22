#pragma once

// Logs in to the backup service, asking the user interface for the password
// when the service wants one. Returns once logged in (abort false, or as the
// caller set it) or when the user interface started something else (abort
// true). Always true.
bool do_login(bool& abort);
