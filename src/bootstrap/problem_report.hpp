#pragma once

#include <string>
#include <string_view>

namespace trelk {

// The text with terminal control characters (C0, DEL and UTF-8 encoded C1)
// replaced by "?", so a hostile message cannot drive the terminal.
std::string safe_text(std::string_view text);

// True exactly when standard error is a terminal: the user can read the report there.
bool started_from_terminal();

// Shows a startup failure to a user without a terminal, in the brand's words.
// Never fails; every problem of the reporting path is swallowed.
void startup_problem(const std::string& code, const std::string& message);

// Runs the first dialog program found (zenity, kdialog, xmessage) and waits until
// the user closes it. False when dialogs are disabled, no display or program is
// available, or the program could not be run. Never throws.
bool show_plain_error(const std::string& title, const std::string& message);

}  // namespace trelk
