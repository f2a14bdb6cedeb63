// Writers refuse lengths and counts the wire cannot say instead of cutting them to 32 bits.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include "protocol/codec.h"

namespace velvane {
namespace {

constexpr size_t kTooLong = kMaxWireLength + 1;

/// A readable range one byte longer than any wire length, backed by no memory until touched.
class HugeRange {
 public:
  HugeRange() : p_(mmap(nullptr, kTooLong, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) {}
  ~HugeRange() {
    if (p_ != MAP_FAILED) munmap(p_, kTooLong);
  }
  bool ok() const { return p_ != MAP_FAILED; }
  std::string_view view() const { return {static_cast<const char*>(p_), kTooLong}; }

 private:
  void* p_;
};

template <class W>
class WriterLimits : public ::testing::Test {};
using Writers = ::testing::Types<BinaryWriter, CompactWriter, JsonWriter>;
TYPED_TEST_SUITE(WriterLimits, Writers);

TYPED_TEST(WriterLimits, ContainerCountsBeyondTheWireAreRefused) {
  for (int which = 0; which < 3; ++which) {
    std::string out;
    TypeParam w(out);
    w.struct_begin();
    w.field_begin(15, 1);
    if (which == 0) w.list_begin(8, kTooLong);
    if (which == 1) w.set_begin(8, kTooLong);
    if (which == 2) w.map_begin(8, 8, kTooLong);
    w.field_end();
    w.struct_end();
    Status done = w.finish();
    ASSERT_FALSE(done) << which;
    EXPECT_EQ(done.error().kind, ErrorKind::SizeLimit);
    EXPECT_NE(done.error().text.find("2147483648 exceeds the wire limit of 2147483647"), std::string::npos)
        << done.error().text;
  }
}

TYPED_TEST(WriterLimits, TheLargestCountIsWritten) {
  std::string out;
  TypeParam w(out);
  w.struct_begin();
  w.field_begin(15, 1);
  w.list_begin(8, kMaxWireLength);
  w.field_end();
  w.struct_end();
  EXPECT_TRUE(w.finish());
}

TEST(WriterLimitsStrings, BinaryAndCompactRefuseStringsBeyondTheWire) {
  HugeRange huge;
  ASSERT_TRUE(huge.ok());
  std::string binary_out, compact_out;
  BinaryWriter binary(binary_out);
  CompactWriter compact(compact_out);
  binary.write_binary(huge.view());
  compact.write_string(huge.view());
  EXPECT_TRUE(binary_out.empty());
  EXPECT_TRUE(compact_out.empty());
  Status b = binary.finish(), c = compact.finish();
  ASSERT_FALSE(b);
  ASSERT_FALSE(c);
  EXPECT_EQ(b.error().text, "String size 2147483648 exceeds the wire limit of 2147483647");
  EXPECT_EQ(c.error().kind, ErrorKind::SizeLimit);
}

}  // namespace
}  // namespace velvane
