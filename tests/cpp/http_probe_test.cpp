// tests/cpp/http_probe_test.cpp: which opening bytes hand a connection to the HTTP callback.
#include <gtest/gtest.h>

#include <string>

#include "framing/http_probe.h"

namespace velvane::framing {
namespace {

struct Case {
  std::string bytes;
  OpeningKind kind;
};

class Opening : public testing::TestWithParam<Case> {};

TEST_P(Opening, Classifies) { EXPECT_EQ(classify_opening(GetParam().bytes), GetParam().kind) << GetParam().bytes; }

INSTANTIATE_TEST_SUITE_P(
    Methods, Opening,
    testing::Values(Case{"GET ", OpeningKind::Http}, Case{"POST /x", OpeningKind::Http},
                    Case{"PUT /", OpeningKind::Http}, Case{"HEAD / H", OpeningKind::Http},
                    Case{"DELETE /", OpeningKind::Http}, Case{"PATCH /a", OpeningKind::Http},
                    Case{"OPTIONS * HTTP/1.1", OpeningKind::Http}, Case{"TRACE / ", OpeningKind::Http},
                    Case{"CONNECT ", OpeningKind::Http},
                    // Proper prefixes wait for more; so does one shared by several methods.
                    Case{"G", OpeningKind::NeedMore}, Case{"GE", OpeningKind::NeedMore},
                    Case{"P", OpeningKind::NeedMore}, Case{"POST", OpeningKind::NeedMore},
                    Case{"OPTIO", OpeningKind::NeedMore}, Case{"CONNECT", OpeningKind::NeedMore},
                    // Anything else is Thrift, as is a stream that closed before its first byte.
                    Case{"", OpeningKind::Thrift}, Case{"GETX", OpeningKind::Thrift},
                    Case{"get ", OpeningKind::Thrift}, Case{"Get ", OpeningKind::Thrift},
                    Case{"GET\t/", OpeningKind::Thrift}, Case{" GET ", OpeningKind::Thrift},
                    Case{"OPTIONSX", OpeningKind::Thrift}, Case{std::string("\x00\x00\x00\x1d\x80\x01\x00\x01", 8), OpeningKind::Thrift},
                    Case{std::string("\x80\x01\x00\x01", 4), OpeningKind::Thrift}, Case{"X", OpeningKind::Thrift}));

}  // namespace
}  // namespace velvane::framing
