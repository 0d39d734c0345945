#include "platform/system/InMemoryUserDefaults.h"

#include "tests/platform/system/UserDefaultsContract.h"

namespace tobble::system {
namespace {

struct InMemoryDomain {
    std::unique_ptr<UserDefaults> make() { return std::make_unique<InMemoryUserDefaults>(); }
    // Nothing outlives the object: "reopening" keeps it.
    std::unique_ptr<UserDefaults> reopen(std::unique_ptr<UserDefaults> open) { return open; }
};

}  // namespace

namespace contract {
INSTANTIATE_TYPED_TEST_SUITE_P(InMemory, UserDefaultsContract, InMemoryDomain);
}

}  // namespace tobble::system
