#pragma once

// Fixture tests that skip, rather than fail, where the fixtures are not built: a fixture
// test binary run directly (not through ctest, which builds the fixtures first) may find
// VORN_FIXTURES unset, or some label's fixture not built yet.
//
//   TEST_P(Suite, Case) {
//       VORN_FIXTURE_OR_SKIP(manifest, GetParam());
//       ... manifest.dataDir ...
//   }
//
// A fixture that is built but whose manifest cannot be read still fails the test: only a
// fixture that is not there at all skips.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/fixture_manifest.h"

namespace vorn::test {

// Why the fixture `label` is not there: VORN_FIXTURES unset or empty, $VORN_FIXTURES/<label>.path
// missing, or the folder it names without manifest.json. Each reason names the fixture, what
// is missing and how to build it. Nothing when the fixture is built.
std::optional<std::string> fixtureMissing(const std::string& label);

// The manifest of the fixture `label`, read with loadFixture() on first use and kept until the
// process ends, so that the tests of a binary share one parse per label. Throws
// std::runtime_error as loadFixture() does.
const FixtureManifest& sharedFixture(const std::string& label);

}  // namespace vorn::test

// In a test body or SetUp(): declares `const FixtureManifest& name`, the manifest of the fixture
// `label` (sharedFixture), or, when the fixture is not built, marks the test skipped with
// fixtureMissing()'s reason and returns. (In SetUp() the body then does not run; TearDown()
// still does, so what it restores must have been saved before.)
#define VORN_FIXTURE_OR_SKIP(name, label)                      \
    if (const std::optional<std::string> vornFixtureMissing_ = \
            ::vorn::test::fixtureMissing(label))               \
        GTEST_SKIP() << *vornFixtureMissing_;                  \
    const ::vorn::test::FixtureManifest& name = ::vorn::test::sharedFixture(label)
