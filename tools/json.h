// A small streaming JSON writer for the tool's --json output: commas and
// escapes are its business, the shape of the document is the caller's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

class Json {
public:
    Json& BeginObject() { return Open('{'); }
    Json& EndObject() { return Close('}'); }
    Json& BeginArray() { return Open('['); }
    Json& EndArray() { return Close(']'); }

    // The next value is the member named key.
    Json& Key(std::string_view key) {
        Separate();
        AppendString(key);
        text_ += ':';
        afterKey_ = true;
        return *this;
    }
    Json& String(std::string_view value) {
        Separate();
        AppendString(value);
        return *this;
    }
    Json& Number(uint64_t value) {
        Separate();
        text_ += std::to_string(value);
        return *this;
    }
    Json& Bool(bool value) {
        Separate();
        text_ += value ? "true" : "false";
        return *this;
    }
    Json& Null() {
        Separate();
        text_ += "null";
        return *this;
    }

    // Shorthands for members.
    Json& Member(std::string_view key, std::string_view value) { return Key(key).String(value); }
    Json& Member(std::string_view key, const char* value) { return Key(key).String(value); }
    Json& Member(std::string_view key, uint64_t value) { return Key(key).Number(value); }
    Json& Member(std::string_view key, uint32_t value) { return Key(key).Number(value); }
    Json& Member(std::string_view key, int value) { return Key(key).Number((uint64_t)value); }
    Json& Member(std::string_view key, bool value) { return Key(key).Bool(value); }

    const std::string& Text() const { return text_; }

private:
    Json& Open(char bracket) {
        Separate();
        text_ += bracket;
        first_.push_back(true);
        return *this;
    }
    Json& Close(char bracket) {
        text_ += bracket;
        first_.pop_back();
        return *this;
    }
    // A comma before every value but the first of its container; none after a key.
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (!first_.empty()) {
            if (!first_.back()) {
                text_ += ',';
            }
            first_.back() = false;
        }
    }
    void AppendString(std::string_view s) {
        text_ += '"';
        for (unsigned char c : s) {
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += (char)c;
            } else if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text_ += escaped;
            } else {
                text_ += (char)c;
            }
        }
        text_ += '"';
    }

    std::string text_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

}  // namespace tool
