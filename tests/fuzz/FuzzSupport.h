#pragma once
// Shared by the fuzz harnesses: a check that stops the run with a message (libFuzzer keeps
// the input as a crash; the corpus replay test fails), a cursor over the input bytes, and
// the Qt application the harnesses need.
//
// Every harness is a plain function `int fuzzXxx(const uint8_t *, size_t)`. Built as a
// fuzzer (QZ_FUZZ_ENTRY defined) it is also LLVMFuzzerTestOneInput; the replay test calls
// the functions directly for every file of the committed corpora.

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_REQUIRE(cond, ...)                                                                   \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n  ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                                    \
            std::fputc('\n', stderr);                                                             \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

#ifdef QZ_FUZZ_ENTRY
#define QZ_FUZZ_TARGET(fn)                                                                        \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return fn(data, size); }
#else
#define QZ_FUZZ_TARGET(fn)
#endif

namespace fuzz {

// Reads the input front to back; past its end every read gives zeros.
class Cursor {
public:
    Cursor(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos >= m_size; }
    size_t left() const { return m_size - m_pos; }
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t u16() { const uint16_t hi = byte(); return uint16_t(hi << 8 | byte()); }
    float f32()
    {
        uint32_t bits = 0;
        for (int i = 0; i < 4; ++i)
            bits = bits << 8 | byte();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    // The next n bytes (fewer at the end of the input).
    const char *take(size_t n, size_t *got)
    {
        *got = n < left() ? n : left();
        const char *p = reinterpret_cast<const char *>(m_data + m_pos);
        m_pos += *got;
        return p;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Makes sure a QApplication (widgets, offscreen) exists; harnesses call it first.
void ensureApplication();
// A private scratch directory (on a memory file system when there is one), made the working
// directory and the program directory while the object lives; the previous working directory
// comes back afterwards (the fuzzer's own paths may be relative).
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;
    QString path() const;

private:
    QString m_previous;
};

} // namespace fuzz
