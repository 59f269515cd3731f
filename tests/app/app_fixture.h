#pragma once

// The main window for tests: created in a temporary current directory whose
// images/ folder holds the given entries, with its message boxes and splash
// wait recorded instead of blocking.

#include "app/LabeledEdit.h"
#include "app/Unit1.h"
#include "app/Unit5.h"
#include "tools/synth.h"
#include "tests/support/test_support.h"
#include "tools/workspace.h"

#include <gtest/gtest.h>

#include <QListWidget>
#include <QStringList>

#include <algorithm>
#include <cstdint>
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
        // Without a workspace, the program's folder is the workspace as long
        // as it holds images/.
        std::filesystem::create_directories(program.path() / "images");
        form = std::make_unique<TForm1>(nullptr, workspace, false, program.path());
        form->showMessage = [this](const QString& text) { messages << text; };
        form->sleepMs = [this](int ms) {
            sleeps.push_back(ms);
            if (duringSleep) duringSleep();
        };
        if (show) form->show();
    }

    testing::TempDir dir{"corvanel-app"};
    testing::TempDir program{"corvanel-program"};  // the program's folder
    std::filesystem::path workspace;  // empty: the program's folder
    std::filesystem::path oldCwd = std::filesystem::current_path();
    std::unique_ptr<TForm1> form;
    QStringList messages;
    std::vector<int> sleeps;
    std::function<void()> duringSleep;
};

// A rectangle of one label.
struct Block {
    std::int32_t label, x, y, width, height;
};

// A map of zeros with the blocks painted in order.
inline LabelMap blocks(PageSize size, const std::vector<Block>& list) {
    LabelMap map(size.width, size.height);
    std::fill_n(map.data(), map.pixelCount(), 0);
    for (const Block& b : list)
        for (std::int32_t y = b.y; y < b.y + b.height; ++y)
            for (std::int32_t x = b.x; x < b.x + b.width; ++x)
                map.data()[static_cast<std::size_t>(y) * static_cast<std::size_t>(size.width) +
                           static_cast<std::size_t>(x)] = b.label;
    return map;
}

// The temporary folder is the workspace as well as the current directory, so
// the list shows the workspace's own images/.
class WorkspaceTest : public MainWindowTest {
protected:
    WorkspaceTest() { workspace = dir.path(); }

    // A black-and-white page whose ink is the map's non-zero pixels.
    void writePage(const std::string& name, const LabelMap& ink) const {
        std::filesystem::create_directories(dir.path() / "images");
        ASSERT_TRUE(synth::writeInkImage(dir.path() / "images" / name, ink));
    }
    std::filesystem::path mapPath(const char* side, const char* level, const std::string& page) const {
        return dir.path() / side / level / (page + ".dat");
    }
    void writeMap(const char* side, const char* level, const std::string& page, const LabelMap& map,
                  bool header = false) const {
        synth::writeLabelMap(mapPath(side, level, page), map, header);
    }
    // As a user would: runs the list's handler unless the entry is the remembered one.
    void select(int row) { form->FileListBox1->setCurrentRow(row); }
    std::filesystem::path report() const { return dir.path() / "Results.txt"; }
};

}  // namespace corvanel::app
