// The client's command words, in one table that its dispatch and the bash completion both
// derive from: a new command or action is a change here first. The client checks at
// compile time that each command's word tables say the same (gpioctl.cpp), and
// packaging/CMakeLists.txt reads the rows as text for the completion, so keep one row a
// line.
//
// A row gives the command word, the words that may follow it, and, for the one second
// word that takes words of its own, those third words. "<led>" stands for every LED id of
// protocol/board_facts.h. Numbers (a blink frequency, a beep length) are left out.
//
// Header-only and free of the C++ runtime, for the client.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>

struct command_grammar {
    const char *word;
    const char *second;       // space-separated; "" when the command takes no word
    const char *third_after;  // the second word that the third words follow; "" when none
    const char *third;
};

// In the order the client compares them.
inline constexpr command_grammar COMMAND_WORDS[] = {
    {"status", "", "", ""},
    {"version", "", "", ""},
    {"sysinfo", "", "", ""},
    {"led", "<led>", "<led>", "on off blink"},
    {"beep", "on off once alarm", "", ""},
    {"power", "status 12v", "12v", "on off"},
    {"input", "4g wifi valid1 valid2", "", ""},
    {"4g", "toggle status info on off", "", ""},
    {"wifi", "toggle status on off", "", ""},
    {"rtty", "on off status", "", ""},
    {"ina", "", "", ""},
    {"sdcard", "remove status state", "", ""},
    {"battery", "", "", ""},
    {"link", "", "", ""},
    {"monitor", "", "", ""},
    {"metrics", "--modem", "", ""},
};

constexpr bool same_text(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

// The row of the command WORD; naming a command the table lacks fails the compile.
constexpr const command_grammar &grammar_of(const char *word)
{
    std::size_t row = 0;
    while (row < std::size(COMMAND_WORDS) && !same_text(COMMAND_WORDS[row].word, word))
        row++;
    return COMMAND_WORDS[row];  // past the end: not a constant
}

// True when WORD is one of the space-separated WORDS.
constexpr bool lists_word(const char *words, const char *word)
{
    while (*words != '\0') {
        const char *w = word;
        while (*w != '\0' && *w == *words) {
            w++;
            words++;
        }
        if (*w == '\0' && (*words == ' ' || *words == '\0'))
            return true;
        while (*words != ' ' && *words != '\0')
            words++;
        if (*words == ' ')
            words++;
    }
    return false;
}

constexpr std::size_t count_words(const char *words)
{
    std::size_t n = 0;
    for (bool in_word = false; *words != '\0'; words++) {
        if (*words != ' ' && !in_word)
            n++;
        in_word = *words != ' ';
    }
    return n;
}

// True when the space-separated WORDS are exactly the .word of each of ENTRIES and the
// words of MORE (handled apart from ENTRIES), in any order.
template <typename Entry, std::size_t N>
constexpr bool words_are(const char *words, const Entry (&entries)[N], std::initializer_list<const char *> more = {})
{
    if (count_words(words) != N + more.size())
        return false;
    for (const Entry &entry : entries) {
        if (!lists_word(words, entry.word))
            return false;
    }
    for (const char *word : more) {
        if (!lists_word(words, word))
            return false;
    }
    return true;
}
