// An outline of a script read the way the compiler reads it: its boxes with their headers and
// bodies, the calls between them, the global commands, and where the compiler would stop. The
// linter, the error notes and the JSON report work from it; the library stays the judge of what
// compiles.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "script_lexer.h"

namespace morvanel::tool {

constexpr size_t kNoOffset = static_cast<size_t>(-1);

// What one compiled item does to time: a Sound item plays one sample, a Quiet one takes none, a
// Call plays the called box in place (a nested body is a call of an unnamed box).
enum class ItemKind { Sound, Quiet, Call };

struct OUTLINE_ITEM {
    ItemKind kind = ItemKind::Quiet;
    int box = -1;  // the called box, for calls
    size_t at = 0;
};

// How long a body's dur condition makes it: Unknown when a variable gives the length.
enum class Duration { None, Zero, Positive, Unknown };

struct OUTLINE_BODY {
    int box = -1;                  // the box the body belongs to
    size_t open = kNoOffset;       // its '{'
    size_t close = kNoOffset;      // its '}'
    std::vector<OUTLINE_ITEM> items;
    bool looping = false;
    int loopIndex = 0;
    int releaseIndex = -1;         // -1: the end
    size_t loopLabel = kNoOffset;  // the @loop label
    Duration duration = Duration::None;
    bool whileCondition = false;
    bool loopPending = false;
    bool releasePending = false;
};

struct OUTLINE_BOX {
    std::string name;  // empty for a nested body
    size_t at = 0;     // the name, or the nested body's first token
    size_t headerEnd = 0;
    std::vector<std::string> parameters;  // as written after ':' ("%a", "#60", "x")
    std::string letters;                  // the parameter letters
    bool exported = false;
    std::string group;       // the group it shares its instance limit with, "" for none
    int maxInstances = -1;   // -1: no limit
    bool stopExcess = false;
    std::vector<int> bodies;
    int enclosingBody = -1;  // for a nested body: the body it stands in
};

struct OUTLINE_CALL {
    std::string name;
    std::vector<std::string> arguments;  // as written after ':'

    int callee = -1;  // -1: no box of that name when the call was compiled
    int body = -1;    // the calling body
    int pushed = 0;   // arguments that push a value
    size_t at = 0;
    size_t end = 0;
    bool backquoted = false;  // a one-letter call inside a backquoted block
};

// A value of a step or condition read as a constant ("sqr(h4)", "dur(~1)").
struct OUTLINE_VALUE {
    std::string command;
    LEXED_TOKEN token;  // the value token
    Tok prefix = Tok::End;  // the unit prefix, End when none
};

struct OUTLINE_COMMAND {
    std::string keyword;
    size_t at = 0;
    size_t end = 0;
    std::vector<LEXED_TOKEN> values;
    std::vector<Tok> prefixes;
};

struct KEY_RANGE {
    int low = 0;
    int high = 0;
    std::string box;
};

// Where and in what the compiler stops, when it does.
struct OUTLINE_STOP {
    size_t at = kNoOffset;       // the position the compiler reports (after the last token it took)
    std::string construct;       // "top", "definition", "call", "value", "body", "header", "expression", "variable"
    std::string name;            // the box name involved, when there is one
    LEXED_TOKEN token;           // the token it could not take
    std::vector<size_t> openBraces;  // '{' not yet closed at that point, outermost first
};

struct SCRIPT_OUTLINE {
    std::string source;            // the text up to its first NUL byte, which ends the script
    size_t nulAt = kNoOffset;      // where a NUL byte cut the text
    std::vector<OUTLINE_BOX> boxes;
    std::vector<OUTLINE_BODY> bodies;
    std::vector<OUTLINE_CALL> calls;
    std::vector<OUTLINE_VALUE> values;
    std::vector<OUTLINE_COMMAND> commands;
    std::map<std::string, int> named;  // the box each name means after the whole script
    std::string globals;               // engine variable letters declared by global and ccvar
    std::vector<KEY_RANGE> keys;       // the MIDI key map after the whole script, in key order
    std::map<std::string, size_t> laterBoxes;  // definitions found past the stop, by a looser scan
    bool complete = false;             // the reading reached the end of the text
    OUTLINE_STOP stop;
};

// Reads `text` with the compiler's grammar. `sampleRate` converts units as the compiler would.
SCRIPT_OUTLINE ReadOutline(const std::string& text, int sampleRate);

// A start text ("lead:60:0.5") read as the engine reads it when it starts a voice.
struct START_TEXT {
    std::string name;
    std::vector<std::string> arguments;
    int pushed = 0;         // arguments that give a value
    bool complete = false;  // the whole header was read
};
START_TEXT ReadStartText(const std::string& text);

// The number of call arguments that push a value (identifiers push nothing).
int PushedArguments(const std::vector<std::string>& arguments);

// 1-based line and column of a byte offset, counted as the compiler counts them ('\r' takes no
// column), and back.
void LineColumnOf(const std::string& source, size_t offset, int& line, int& column);
size_t OffsetOf(const std::string& source, int line, int column);

}  // namespace morvanel::tool
