// What every test file starts from: the test framework, the shared fixtures and the
// contract's names, with the short names the tests use for them.
#ifndef QZ_TEST_COMMON_H
#define QZ_TEST_COMMON_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

#include "SWUContract.h"
#include "TestSupport.h"

namespace swu = qz::swu;
namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace qztest {
// A test of the client: the platform log in a file of its own and a fresh, empty store.
struct ClientFixture : ::testing::Test {
    LogCapture log;
    KvStoreRoot store;
};
}  // namespace qztest

#endif  // QZ_TEST_COMMON_H
