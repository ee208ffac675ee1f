// Shared by the module tests: the built module files, loaded once each, and
// the checks every call through our own host should pass.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "mexhost.h"

inline const mexhost::Module& module(const std::string& name) {
    static std::map<std::string, std::unique_ptr<mexhost::Module>> loaded;
    auto& slot = loaded[name];
    if (!slot) slot = std::make_unique<mexhost::Module>(std::string(MODULE_DIR) + "/" + name + MODULE_SUFFIX);
    return *slot;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A call that must end with the host's error and the given message.
#define EXPECT_HOST_ERROR(result, expected_message)                       \
    do {                                                                  \
        const mexhost::CallResult& r_ = (result);                         \
        EXPECT_TRUE(r_.host_error) << "message: " << r_.message;          \
        EXPECT_EQ(r_.message, expected_message);                          \
        EXPECT_EQ(r_.arrays_created, 0u) << "created arrays before failing"; \
        EXPECT_TRUE(r_.inputs_unchanged);                                 \
    } while (0)

// A call that must end with the host's error under the given identifier.
#define EXPECT_HOST_ERROR_ID(result, expected_identifier)                 \
    do {                                                                  \
        const mexhost::CallResult& r_ = (result);                         \
        EXPECT_TRUE(r_.host_error) << "message: " << r_.message;          \
        EXPECT_EQ(r_.identifier, expected_identifier) << r_.message;      \
        EXPECT_EQ(r_.arrays_created, 0u) << "created arrays before failing"; \
        EXPECT_TRUE(r_.inputs_unchanged);                                 \
    } while (0)

// A call that must return normally, leaving its inputs and no scratch behind.
#define EXPECT_CLEAN_RETURN(result)                                       \
    do {                                                                  \
        const mexhost::CallResult& r_ = (result);                         \
        ASSERT_TRUE(r_.ok) << r_.identifier << " " << r_.message;         \
        EXPECT_TRUE(r_.inputs_unchanged);                                 \
        EXPECT_EQ(r_.blocks_live_at_return, 0u);                          \
    } while (0)
