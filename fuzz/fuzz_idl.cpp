// fuzz/fuzz_idl.cpp: libFuzzer target for the IDL lexer and parser, in both dialects.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/lexer.h"
#include "parser/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto tokens = velvane::tokenize(text); tokens.ok()) {
    size_t shown = 0;
    for (const auto& token : tokens.value()) shown += velvane::to_text(token).size();
    if (shown == 0 && !tokens.value().empty()) __builtin_trap();  // every token has a text form
  }
  auto doc = velvane::parse_document(text);
  if (!doc.ok() && doc.error().text.empty()) __builtin_trap();  // failures always say something
  // The reference compiler's dialect: failures say something and know where they are.
  velvane::ParseOptions compat;
  compat.reference_dialect = true;
  velvane::SourceLocation at;
  auto compat_doc = velvane::parse_document(text, compat, at);
  if (!compat_doc.ok() && (compat_doc.error().text.empty() || at.line == 0)) __builtin_trap();
  return 0;
}
