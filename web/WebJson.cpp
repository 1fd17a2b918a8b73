#include "web/WebJson.h"

namespace {

constexpr size_t npos = std::string_view::npos;

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}
    void Blanks() {
        while (pos_ < text_.size() && std::string_view(" \t\r\n").find(text_[pos_]) != npos)
            ++pos_;
    }
    bool Take(char c) {
        Blanks();
        if (pos_ >= text_.size() || text_[pos_] != c)
            return false;
        ++pos_;
        return true;
    }
    // A string without escapes or control characters.
    bool Name(std::string_view* name) {
        if (!Take('"'))
            return false;
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            if (text_[pos_] == '\\' || static_cast<unsigned char>(text_[pos_]) < 0x20)
                return false;
            ++pos_;
        }
        if (pos_ >= text_.size())
            return false;
        *name = text_.substr(start, pos_ - start);
        ++pos_;
        return true;
    }
    bool Integer(int32_t* value) {
        Blanks();
        const bool negative = pos_ < text_.size() && text_[pos_] == '-';
        pos_ += negative ? 1 : 0;
        const size_t start = pos_;
        int64_t v = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9' &&
               pos_ - start < 11) {
            v = v * 10 + (text_[pos_] - '0');
            ++pos_;
        }
        const size_t digits = pos_ - start;
        if (digits == 0 || digits > 10 || (digits > 1 && text_[start] == '0'))
            return false;
        // A fraction or exponent would make it no whole number of ours.
        if (pos_ < text_.size() && std::string_view(".eE").find(text_[pos_]) != npos)
            return false;
        v = negative ? -v : v;
        if (v < INT32_MIN || v > INT32_MAX)
            return false;
        *value = static_cast<int32_t>(v);
        return true;
    }
    bool AtEnd() {
        Blanks();
        return pos_ == text_.size();
    }

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace

bool ParseIntObject(std::string_view text, std::span<const char* const> names,
                    std::span<int32_t> values) {
    if (values.size() != names.size() || names.size() > 32)
        return false;
    uint32_t seen = 0;
    Reader in(text);
    if (!in.Take('{'))
        return false;
    for (size_t n = 0; n < names.size(); ++n) {
        std::string_view name;
        if ((n > 0 && !in.Take(',')) || !in.Name(&name) || !in.Take(':'))
            return false;
        size_t i = 0;
        while (i < names.size() && name != names[i])
            ++i;
        if (i == names.size() || (seen & (1u << i)) != 0 || !in.Integer(&values[i]))
            return false;
        seen |= 1u << i;
    }
    return in.Take('}') && in.AtEnd();
}
