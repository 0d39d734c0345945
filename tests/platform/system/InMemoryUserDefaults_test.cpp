#include "platform/system/InMemoryUserDefaults.h"

#include "tests/platform/system/UserDefaultsContract.h"

namespace tobble::system {
namespace {

struct InMemoryDomain {
    std::unique_ptr<UserDefaults> make() { return std::make_unique<InMemoryUserDefaults>(); }
};

}  // namespace

namespace contract {
INSTANTIATE_TYPED_TEST_SUITE_P(InMemory, UserDefaultsContract, InMemoryDomain);
}

}  // namespace tobble::system
