// The application-error struct of an exception reply: what the server writes, the client reads back.
#include <gtest/gtest.h>

#include "engine/call.h"

namespace velvane {
namespace {

class AppError : public ::testing::TestWithParam<Protocol> {};

TEST_P(AppError, WrittenThenReadBack) {
  const Protocol protocol = GetParam();
  const MessageHeader request{"ping", wire::kCall, -5};
  const std::string reply = engine::encode_application_error(protocol, request, "Unknown method: ping \xc3\xa9",
                                                             wire::kUnknownMethod);
  auto header = read_message_begin(protocol, reply);
  ASSERT_TRUE(header) << header.error().text;
  EXPECT_EQ(header.value().header.name, "ping");
  EXPECT_EQ(header.value().header.type, wire::kException);
  EXPECT_EQ(header.value().header.seqid, -5);
  auto app = engine::read_application_error(protocol, reply, header.value());
  ASSERT_TRUE(app) << app.error().text;
  EXPECT_EQ(app.value().message, "Unknown method: ping \xc3\xa9");
  EXPECT_EQ(app.value().type, wire::kUnknownMethod);
}

INSTANTIATE_TEST_SUITE_P(Protocols, AppError, ::testing::Values(Protocol::Binary, Protocol::Compact, Protocol::Json,
                                                                             Protocol::StandardCompact,
                                                                             Protocol::StandardJson));

}  // namespace
}  // namespace velvane
