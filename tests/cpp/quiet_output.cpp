// Servers under test print their lines ("shutdown requested", "connection error: ...") on the
// process's standard output and error. Each test's output goes to a file of its own and is shown
// only when the test fails, so a passing run prints the test report alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

namespace {

class QuietPassingTests : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    std::fflush(stdout);
    std::fflush(stderr);
    file_ = std::tmpfile();
    if (!file_) return;
    saved_out_ = ::dup(1);
    saved_err_ = ::dup(2);
    ::dup2(::fileno(file_), 1);
    ::dup2(::fileno(file_), 2);
  }

  // Listeners hear a test's end in reverse order: this runs before the report of the result.
  void OnTestEnd(const testing::TestInfo& info) override {
    if (!file_) return;
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out_, 1);
    ::dup2(saved_err_, 2);
    ::close(saved_out_);
    ::close(saved_err_);
    if (info.result()->Failed()) {
      std::rewind(file_);
      char buffer[4096];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) std::fwrite(buffer, 1, n, stdout);
      std::fflush(stdout);
    }
    std::fclose(file_);
    file_ = nullptr;
  }

 private:
  std::FILE* file_ = nullptr;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

const bool kInstalled = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new QuietPassingTests);
  return true;
}();

}  // namespace
