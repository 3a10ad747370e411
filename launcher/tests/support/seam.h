// Test support for driving the launcher's code through its system-call table:
// the fixture restores the real table after each test, and `capture` runs a
// piece of launcher code until it returns, exits or aborts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "system/syscalls.h"
#include "tests/support/outcome.h"

// Runs `body` with exit, abort and the two output streams of the table
// replaced; a report or an abort ends `body` and comes back as the outcome.
Outcome capture(const std::function<void()> &body);

class SeamTest : public ::testing::Test {
protected:
    void TearDown() override;
};

// Environment helpers for tests (the real process environment).
void set_variable(const wchar_t *name, const wchar_t *value);
std::wstring variable(const wchar_t *name);
bool has_variable(const wchar_t *name);
