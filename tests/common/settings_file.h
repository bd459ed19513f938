#pragma once

// The settings written as a test set them.

#include "settings/backup_config.h"

#include <gtest/gtest.h>

#include <string>

namespace testenv {

// SaveConfig, failing the test with its reason when the file can't be written.
inline ::testing::AssertionResult SaveSettings() {
    std::string why;
    if (SaveConfig(why))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why;
}

} // namespace testenv
