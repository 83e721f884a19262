// Word splitting and abbreviation matching shared by the command interpreter
// and the Configuration and Rules file parsers.
#include "textio/textio.hpp"

#include <cstring>

namespace pello {

char* next_word(word_cursor& cursor, const char* separators)
{
    char* p = cursor.next;
    if (p == nullptr)
        return nullptr;
    p += std::strspn(p, separators);
    if (*p == '\0') {
        cursor.next = nullptr;
        return nullptr;
    }
    char* end = p + std::strcspn(p, separators);
    if (*end == '\0') {
        cursor.next = nullptr;
    } else {
        *end = '\0';
        cursor.next = end + 1;
    }
    return p;
}

namespace {

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool word_abbreviates(const char* word, const char* name)
{
    for (; *word != '\0'; ++word, ++name) {
        if (*name == '\0' || ascii_lower(*word) != ascii_lower(*name))
            return false;
    }
    return true;
}

}  // namespace

bool word_selects(const char* word, const char* name, word_rule rule)
{
    return word_abbreviates(word, name) &&
           (rule == word_rule::abbreviation || std::strlen(word) == std::strlen(name));
}

}  // namespace pello
