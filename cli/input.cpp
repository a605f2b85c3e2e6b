// Console input with bounded memory: a line or a word never grows past its limit, however much
// arrives without a line end (`nyxcli < /dev/zero`). The surplus is read and thrown away.
#include "cli/cli.h"

#include <istream>

namespace nyxcli {

namespace {

// Bytes skipped between two looks at the running flag, so that an interrupt ends even an
// endless line.
constexpr size_t kInterruptCheck = 4096;

bool is_blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

LineRead read_command_line(std::istream &in, std::string &line) {
    line.clear();
    std::streambuf *buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr) {
        // At end of input the stream stays failed and every read gives an empty line.
        in.setstate(std::ios::failbit);
        return LineRead::Complete;
    }
    bool too_long = false;
    size_t seen = 0;
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(line.empty() && !too_long ? std::ios::eofbit | std::ios::failbit
                                                  : std::ios::eofbit);
            break;
        }
        if (c == '\n') {
            break;
        }
        if (line.size() < kLineMax) {
            line += static_cast<char>(c);
        } else {
            too_long = true;
            if (++seen % kInterruptCheck == 0 && !g_running) {
                break;
            }
        }
    }
    return too_long ? LineRead::TooLong : LineRead::Complete;
}

std::string read_word(std::istream &in, size_t keep) {
    std::string word;
    std::streambuf *buffer = in.rdbuf();
    if (!in.good() || buffer == nullptr) {
        in.setstate(std::ios::failbit);
        return word;
    }
    const int eof = std::char_traits<char>::eof();
    size_t seen = 0;
    int c = buffer->sgetc();
    // Leading white space, line ends included, is skipped.
    while (c != eof && is_blank(c)) {
        if (++seen % kInterruptCheck == 0 && !g_running) {
            return word;
        }
        c = buffer->snextc();
    }
    // The word ends before the next white space, which stays unread.
    while (c != eof && !is_blank(c)) {
        if (word.size() < keep) {
            word += static_cast<char>(c);
        } else if (++seen % kInterruptCheck == 0 && !g_running) {
            return word;
        }
        c = buffer->snextc();
    }
    if (c == eof) {
        in.setstate(word.empty() ? std::ios::eofbit | std::ios::failbit : std::ios::eofbit);
    }
    return word;
}

} // namespace nyxcli
