// The program's message boxes: no owner window, the given text and caption,
// one OK button (kind 1) or OK and Cancel (kind 2). Shown on the window's thread;
// they block only that thread's caller, the window keeps painting.
#pragma once

#include <string>

namespace vek {

// Kind 1: 1 once closed. Kind 2: 1 for OK, 0 for Cancel or a closed box.
// Other kinds show nothing and give 0.
int ShowMessageBox(int kind, const std::string& text, const std::string& caption);

}  // namespace vek
