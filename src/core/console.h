// Where console lines go: stdout in the server, a string in tests.
#pragma once

#include <string>
#include <string_view>

namespace quarel::core {

class Console {
public:
    virtual ~Console() = default;
    virtual void write(std::string_view text) = 0;
    // printf-style; the formats are the server's fixed console lines.
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Keeps everything written, for tests and tools.
class StringConsole final : public Console {
public:
    void write(std::string_view text) override { text_.append(text); }
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

}  // namespace quarel::core
