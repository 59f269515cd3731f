// Every test here runs inside the program's own application object.

#include "app/Application.h"

#include <gtest/gtest.h>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "corvanel_app_tests";
        static char* argv[] = {name, nullptr};
        application_ = new corvanel::app::Application(argc, argv);
    }
    void TearDown() override { delete application_; }

private:
    corvanel::app::Application* application_ = nullptr;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
