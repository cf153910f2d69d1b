#include <gtest/gtest.h>

#include <vector>

#include "base/unique_handle.h"

namespace kq::test {

namespace {

// A handle kind whose empty value is -1 (like INVALID_HANDLE_VALUE), with a
// record of every close.
std::vector<int> closed;

struct FakeTraits {
  using pointer = int;
  static constexpr pointer invalid() noexcept { return -1; }
  static void close(pointer handle) noexcept { closed.push_back(handle); }
};
using FakeHandle = kq::UniqueHandle<FakeTraits>;

void CloseZeroBased(int handle) { closed.push_back(100 + handle); }
using ZeroEmptyHandle = kq::UniqueHandle<kq::NullIsInvalidTraits<int, CloseZeroBased>>;

class UniqueHandleTest : public ::testing::Test {
 protected:
  void SetUp() override { closed.clear(); }
};

TEST_F(UniqueHandleTest, ClosesOnceWhenItGoesAndNeverTheEmptyValue) {
  {
    FakeHandle none;
    EXPECT_FALSE(none);
    FakeHandle explicitNone(-1);
    EXPECT_FALSE(explicitNone);
    FakeHandle zero(0);  // 0 is a valid handle of this kind
    EXPECT_TRUE(zero);
  }
  EXPECT_EQ(closed, std::vector<int>{0});
}

TEST_F(UniqueHandleTest, ReleaseHandsOwnershipOver) {
  {
    FakeHandle handle(7);
    EXPECT_EQ(handle.release(), 7);
    EXPECT_FALSE(handle);
    EXPECT_EQ(handle.get(), -1);
  }
  EXPECT_TRUE(closed.empty());
}

TEST_F(UniqueHandleTest, MovesTransferAndAssignmentClosesTheOldHandle) {
  {
    FakeHandle a(1);
    FakeHandle b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), 1);

    FakeHandle c(2);
    c = std::move(b);
    EXPECT_EQ(closed, std::vector<int>{2});
    EXPECT_EQ(c.get(), 1);

    FakeHandle& alias = c;
    c = std::move(alias);  // self-move keeps the handle open
    EXPECT_EQ(c.get(), 1);
    EXPECT_EQ(closed, std::vector<int>{2});

    c.reset(3);
    EXPECT_EQ(closed, (std::vector<int>{2, 1}));
    c.reset();
    EXPECT_EQ(closed, (std::vector<int>{2, 1, 3}));
  }
  EXPECT_EQ(closed, (std::vector<int>{2, 1, 3}));
}

TEST_F(UniqueHandleTest, NullIsInvalidTraitsSkipZeroAndCallTheCloser) {
  {
    ZeroEmptyHandle empty;
    ZeroEmptyHandle owned(5);
    EXPECT_FALSE(empty);
    EXPECT_TRUE(owned);
  }
  EXPECT_EQ(closed, std::vector<int>{105});
}

}  // namespace

}  // namespace kq::test
