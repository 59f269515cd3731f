#pragma once

// The main window for tests: created in a temporary current directory whose
// images/ folder holds the given entries, with its message boxes and splash
// wait recorded instead of blocking.

#include "LabeledEdit.h"
#include "Unit1.h"
#include "Unit5.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvanel::app {

class MainWindowTest : public ::testing::Test {
protected:
    ~MainWindowTest() override {
        form.reset();
        std::filesystem::current_path(oldCwd);
    }

    // Entries ending in '/' become folders, the others empty files.
    void open(const std::vector<std::string>& entries, bool show = true) {
        std::filesystem::create_directories(dir.path() / "images");
        for (const std::string& entry : entries) {
            if (entry.ends_with('/'))
                std::filesystem::create_directories(dir.path() / "images" / entry);
            else
                testing::writeBytes(dir.path() / "images" / entry, "");
        }
        create(show);
    }

    // A current directory without an `images` folder.
    void openWithoutImagesFolder() { create(true); }

    void create(bool show) {
        std::filesystem::current_path(dir.path());
        form = std::make_unique<TForm1>();
        form->showMessage = [this](const QString& text) { messages << text; };
        form->sleepMs = [this](int ms) {
            sleeps.push_back(ms);
            if (duringSleep) duringSleep();
        };
        if (show) form->show();
    }

    testing::TempDir dir{"corvanel-app"};
    std::filesystem::path oldCwd = std::filesystem::current_path();
    std::unique_ptr<TForm1> form;
    QStringList messages;
    std::vector<int> sleeps;
    std::function<void()> duringSleep;
};

}  // namespace corvanel::app
