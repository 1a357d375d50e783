#pragma once
// The main window as the window tests drive it: one session (folder and
// scripted prompter) per test function, the window made on first use.

#include "app/lgpviewer.h"
#include "apptestsupport.h"

#include <memory>
#include <string>

namespace AppTest
{
    class WindowFixture
    {
    protected:
        std::unique_ptr<Session> mSession;
        std::unique_ptr<TfrmLGPEditor> mWindow;

        TfrmLGPEditor& window()
        {
            if (!mWindow)
                mWindow = std::make_unique<TfrmLGPEditor>();
            return *mWindow;
        }
        Platform::Ui::ScriptedPrompter& prompter() { return mSession->prompter; }
        fs::path path(const std::string& name) const { return mSession->folder / name; }

        void open(const fs::path& archive)
        {
            prompter().fileAnswers.push_back(q(archive));
            window().mnuOpenLGP->trigger();
        }
    };
} // namespace AppTest
