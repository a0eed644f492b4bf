// SPDX-License-Identifier: MIT
// get_pin_fuzz: a libFuzzer target for the word reader and the command loop.
//
// Each input is one session: its first byte says how reads of the session
// behave (below), the rest is what the controlling process wrote. The passes
// run on a memfd holding those bytes until the loop stops, with standard output
// on another memfd, and then what must always hold is checked:
//   - one reply line per "get" word, counted by a reference tokenizer written
//     here independently of src/command_input.cpp, and nothing else;
//   - every line is exactly the pin table's entries, "{PIN: L, ..., HELD: H, }",
//     each level 0 or 1;
//   - no out-of-bounds access or undefined behaviour (ASan, UBSan).
//
//   $ fuzz/run.sh 60        # build with clang-14 and fuzz for 60 s
//   $ build/fuzz/fuzz/get_pin_fuzz CRASH-FILE   # replay one input
//
// The first byte: its low six bits cap the bytes one read(2) hands over (0 for
// no cap), so that words arrive split across reads at every offset; bit 6 makes
// every read fail once with EINTR first and bit 7 once with EAGAIN first, the
// retries the reader must survive without losing a byte.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

#include "command_input.h"
#include "command_loop.h"
#include "gpio/gpio.h"

// The linker's names for the real read(2) and its stand-in under --wrap=read.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" ssize_t __real_read(int descriptor, void* bytes, std::size_t count);

namespace fuzz
{

namespace
{

constexpr std::string_view white_space{" \t\n\r\v\f"};
constexpr std::size_t word_limit = 127;
constexpr std::uint8_t read_cap_bits = 0x3f;
constexpr std::uint8_t interrupt_bit = 0x40;
constexpr std::uint8_t would_block_bit = 0x80;

// How reads of the session's input behave; see the top comment.
struct read_behaviour {
    int descriptor = -1;
    std::size_t cap = 0;
    bool interrupt = false;
    bool would_block = false;
    bool failed_last = false; // the previous call was an injected failure
};

read_behaviour session_reads{};
int output_descriptor = -1;

// The "get" words of a session, as the controlling process means them: white
// space separates words, a word longer than 127 bytes goes on as a new word,
// any other byte (zero included) belongs to a word, and "exit" ends the
// session.
[[nodiscard]] std::size_t expected_replies(std::string_view session)
{
    std::size_t gets = 0;
    std::size_t at = 0;
    for (;;) {
        while (at < session.size() && white_space.find(session[at]) != std::string_view::npos) {
            ++at;
        }
        if (at == session.size()) {
            return gets;
        }
        const std::size_t begin = at;
        while (at < session.size() && at - begin < word_limit &&
               white_space.find(session[at]) == std::string_view::npos) {
            ++at;
        }
        const std::string_view word = session.substr(begin, at - begin);
        if (word == "exit") {
            return gets;
        }
        if (word == "get") {
            ++gets;
        }
    }
}

[[nodiscard]] bool is_reply_line(std::string_view line)
{
    auto take = [&](std::string_view expected) {
        if (!line.starts_with(expected)) {
            return false;
        }
        line.remove_prefix(expected.size());
        return true;
    };
    // Each entry's key from the pin table: the pins, then the held pin.
    auto take_entry = [&](std::int32_t header_position) {
        return take(std::to_string(header_position) + ": ") && (take("0") || take("1")) &&
               take(", ");
    };
    return take("{") && std::ranges::all_of(gpio::pins, take_entry) && take_entry(gpio::held_pin) &&
           take("}") && line.empty();
}

[[noreturn]] void finding(const std::string& what, std::string_view output)
{
    static_cast<void>(std::fprintf(
        stderr, "get_pin_fuzz: %s\noutput (%zu bytes): %.*s\n", what.c_str(), output.size(),
        static_cast<int>(std::min<std::size_t>(output.size(), 2000)), output.data()));
    std::abort();
}

[[nodiscard]] std::string taken_output()
{
    std::string output;
    std::array<char, 4096> bytes{};
    lseek(output_descriptor, 0, SEEK_SET);
    for (ssize_t got = 0; (got = __real_read(output_descriptor, bytes.data(), bytes.size())) > 0;) {
        output.append(bytes.data(), static_cast<std::size_t>(got));
    }
    return output;
}

void check_output(std::string_view session, std::string_view output)
{
    if (!output.empty() && output.back() != '\n') {
        finding("output ends inside a line", output);
    }
    std::size_t lines = 0;
    for (std::string_view rest = output; !rest.empty(); ++lines) {
        const std::size_t end = rest.find('\n');
        if (!is_reply_line(rest.substr(0, end))) {
            finding("line " + std::to_string(lines + 1) + " is not a reply line", output);
        }
        rest.remove_prefix(end + 1);
    }
    const std::size_t expected = expected_replies(session);
    if (lines != expected) {
        finding(std::to_string(lines) + " reply lines for " + std::to_string(expected) +
                    " \"get\" words",
                output);
    }
}

} // namespace

// The reader's read(2), with the session's cap and injected failures; every
// other descriptor reads as usual.
ssize_t session_read(int descriptor, void* bytes, std::size_t count)
{
    if (descriptor != session_reads.descriptor) {
        return __real_read(descriptor, bytes, count);
    }
    if ((session_reads.interrupt || session_reads.would_block) && !session_reads.failed_last) {
        session_reads.failed_last = true;
        errno = session_reads.interrupt ? EINTR : EAGAIN;
        return -1;
    }
    session_reads.failed_last = false;
    if (session_reads.cap != 0) {
        count = std::min(count, session_reads.cap);
    }
    return __real_read(descriptor, bytes, count);
}

int run_session(std::span<const std::uint8_t> data)
{
    if (data.empty()) {
        return 0;
    }
    const std::uint8_t behaviour = data.front();
    const std::string_view session{reinterpret_cast<const char*>(data.data() + 1), data.size() - 1};

    const int input_descriptor = memfd_create("get_pin_fuzz_input", MFD_CLOEXEC);
    if (input_descriptor < 0 ||
        write(input_descriptor, session.data(), session.size()) !=
            static_cast<ssize_t>(session.size()) ||
        lseek(input_descriptor, 0, SEEK_SET) != 0) {
        std::perror("get_pin_fuzz: input memfd");
        std::abort();
    }
    session_reads = {.descriptor = input_descriptor,
                     .cap = std::size_t{behaviour} & read_cap_bits,
                     .interrupt = (behaviour & interrupt_bit) != 0,
                     .would_block = (behaviour & would_block_bit) != 0,
                     .failed_last = false};
    if (ftruncate(output_descriptor, 0) != 0 || lseek(output_descriptor, 0, SEEK_SET) != 0) {
        std::perror("get_pin_fuzz: output memfd");
        std::abort();
    }

    input::use_descriptor(input_descriptor);
    input::command_buffer command{};
    // Every pass takes a word, or reads at least one byte, or meets an
    // injected EAGAIN (at most once before each read that succeeds), so a
    // session ends within three passes a byte; more means the loop no longer
    // advances.
    std::size_t passes = 0;
    while (program::run_pass(command) == program::pass_end::next_pass) {
        if (++passes > 3 * (session.size() + 1)) {
            finding("the command loop does not reach the end of its input", taken_output());
        }
    }
    close(input_descriptor);
    session_reads = {};
    check_output(session, taken_output());
    return 0;
}

} // namespace fuzz

// The word reader's calls to read(2) come here: the target is linked with
// --wrap=read.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" ssize_t __wrap_read(int descriptor, void* bytes, std::size_t count)
{
    return fuzz::session_read(descriptor, bytes, count);
}

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // Replies go to a memfd in place of standard output; libFuzzer reports on
    // standard error.
    const int output = memfd_create("get_pin_fuzz_output", MFD_CLOEXEC);
    if (output < 0 || dup2(output, STDOUT_FILENO) != STDOUT_FILENO) {
        std::perror("get_pin_fuzz: output memfd");
        std::abort();
    }
    close(output);
    fuzz::output_descriptor = STDOUT_FILENO;
    gpio::setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return fuzz::run_session({data, size});
}
