#pragma once
// Automation support: a prompter driven by the environment, so that a test can
// run a windowed program as a real process and answer its boxes and dialogs.
//
//   TARROWIN_UI_SCRIPT  a file with one answer per line, taken in order: a path
//                       for a file or folder dialog, "cancel" to cancel it,
//                       "yes" or "no" for a question. When the lines run out,
//                       dialogs are cancelled and questions answered No.
//   TARROWIN_UI_LOG     a file to which one line is appended per box or dialog:
//                       "message|caption|text", "question|caption|text",
//                       "error|caption|text", "open|title|filter",
//                       "save|title|filter", "folder|title".
//
// Without either variable nothing is installed and the Qt dialogs stay.

namespace Platform::Ui
{
    // Installs the environment-driven prompter when TARROWIN_UI_SCRIPT or
    // TARROWIN_UI_LOG is set. Returns whether it did. Call once from main()
    // after the application object exists.
    bool installPrompterFromEnvironment();
}
