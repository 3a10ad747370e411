// Bounded wide-text copy and append.
#include "paths/bounded.h"

#include "system/syscalls.h"

size_t wide_length(const wchar_t *text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

bool same_wide_text(const wchar_t *a, const wchar_t *b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

wchar_t *last_backslash(wchar_t *text) {
    wchar_t *last = nullptr;
    for (; *text != 0; ++text)
        if (*text == L'\\') last = text;
    return last;
}

void copy_wide_bounded(wchar_t *destination, const wchar_t *source, size_t capacity) {
    size_t written = 0;
    for (; source[written] != 0; ++written) {
        if (written + 2 > capacity) sys.fail_fast();
        destination[written] = source[written];
    }
    if (written + 1 > capacity) sys.fail_fast();
    destination[written] = 0;
}

void append_wide_bounded(wchar_t *destination, const wchar_t *source, size_t capacity) {
    size_t used = 0;
    while (used < capacity && destination[used] != 0) ++used;
    if (used >= capacity) sys.fail_fast();
    size_t length = wide_length(source);
    if (length + 1 > capacity - used) sys.fail_fast();
    for (size_t i = 0; i < length; ++i) destination[used + i] = source[i];
    destination[used + length] = 0;
}
