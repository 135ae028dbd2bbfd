// The lexer: note names, the character machine, keywords and labels per mode, the backquote
// table, the end-of-text rule, failing '%' scans and line and column counting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/lexer.h"

namespace {

using morvanel::AdvanceToken;
using morvanel::LEX_BACKQUOTE;
using morvanel::LEX_EXPR;
using morvanel::LEX_STMT;
using morvanel::LexMode;
using morvanel::NextToken;
using morvanel::ParseContext;
using morvanel::Token;

// Every token from the start of `text` up to TK_END or a failed scan, as "TK_KIND text"; a
// failed scan adds "null". Each scan gets a fresh token, so kinds without text print bare.
std::vector<std::string> Scan(const std::string& text, LexMode mode) {
    std::vector<std::string> tokens;
    const char* pos = text.c_str();
    for (int guard = 0; guard < 64; ++guard) {
        Token token;
        pos = NextToken(pos, token, mode);
        std::string shown = morvanel::TokenKindName(token.kind);
        if (!token.text.empty()) shown += " " + morvanel::TokenText(token);
        tokens.push_back(shown);
        if (pos == nullptr) {
            tokens.push_back("null");
            break;
        }
        if (token.kind == morvanel::TK_END) break;
    }
    return tokens;
}

struct LexCase {
    LexMode mode;
    const char* text;
    std::vector<std::string> tokens;
};

void ExpectScans(const std::vector<LexCase>& cases) {
    for (const LexCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode 0x" << std::hex << c.mode << " text '" << c.text << "'");
        EXPECT_EQ(Scan(c.text, c.mode), c.tokens);
    }
}

TEST(Lexer, NoteNamesInBothCasesAndWhatIsNotANote) {
    ExpectScans({
        {LEX_STMT, "C4 ", {"TK_NUMBER 60", "TK_END"}},
        {LEX_STMT, "c4 ", {"TK_NOTE 60", "TK_END"}},
        {LEX_STMT, "Bb3 e5 ", {"TK_NUMBER 58", "TK_NOTE 76", "TK_END"}},
        {LEX_STMT, "Cb0 B#9 A4 ", {"TK_NUMBER 11", "TK_NUMBER 132", "TK_NUMBER 69", "TK_END"}},
        {LEX_EXPR, "a4 g#0 ", {"TK_NOTE 69", "TK_NOTE 20", "TK_END"}},
        {LEX_STMT, "C45 ", {"TK_NUMBER 60", "TK_NUMBER 5", "TK_END"}},
        {LEX_STMT, "a D# b H4 ", {"TK_IDENT a", "TK_IDENT D#", "TK_IDENT b", "TK_IDENT H4", "TK_END"}},
        {LEX_STMT, "Cb# ", {"TK_IDENT Cb#", "TK_END"}},
    });
}

TEST(Lexer, NoteAfterCommentIsAnIdentifier) {
    ExpectScans({
        {LEX_STMT, "// tune\nC4 ", {"TK_IDENT C4", "TK_END"}},
        {LEX_EXPR, "a // c\n\n c4 ", {"TK_IDENT a", "TK_IDENT c4", "TK_END"}},
        {LEX_STMT, "// only a comment", {"TK_END"}},
    });
}

TEST(Lexer, NumbersSignsAndLoneDot) {
    ExpectScans({
        {LEX_STMT, "1.5 . 1.2.3 ", {"TK_NUMBER 1.5", "TK_IDENT .", "TK_NUMBER 1.2.3", "TK_END"}},
        {LEX_STMT, "-3 ", {"TK_MINUS -", "TK_NUMBER 3", "TK_END"}},
        {LEX_EXPR, "1e5 1f ", {"TK_NUMBER 1", "TK_NOTE 76", "TK_NUMBER 1", "TK_IDENT f", "TK_END"}},
    });
}

TEST(Lexer, LineBreaksAreTokensOnlyInExpressionMode) {
    ExpectScans({
        {LEX_EXPR, "a\r\nb", {"TK_IDENT a", "TK_NEWLINE", "TK_NEWLINE", "TK_END b"}},
        {LEX_EXPR, "  \t\n", {"TK_NEWLINE", "TK_END"}},
        {LEX_STMT, "a\r\n  b ", {"TK_IDENT a", "TK_IDENT b", "TK_END"}},
        {LEX_STMT, " \r\n\t", {"TK_END"}},
    });
}

TEST(Lexer, LastNameOrNumberOfTheTextIsEnd) {
    ExpectScans({
        {LEX_STMT, "abc", {"TK_END abc"}},
        {LEX_STMT, "sqr", {"TK_END sqr"}},
        {LEX_STMT, "12.5", {"TK_END 12.5"}},
        {LEX_STMT, "abc ", {"TK_IDENT abc", "TK_END"}},
        {LEX_STMT, "%", {"TK_END %"}},
        {LEX_EXPR, "1 \\", {"TK_NUMBER 1", "TK_END"}},
        {LEX_STMT, "", {"TK_END"}},
    });
}

TEST(Lexer, KeywordsAndLabelsDependOnMode) {
    ExpectScans({
        {LEX_STMT, "Samplerate fadein2 sqr ", {"TK_IDENT Samplerate", "TK_IDENT fadein2", "TK_SEQ_COMMAND sqr", "TK_END"}},
        {LEX_STMT, "sin2pi maxinst group dur if while ",
         {"TK_SIN2PI sin2pi", "TK_BOX_OPTION maxinst", "TK_BOX_OPTION group", "TK_CONDITION dur", "TK_CONDITION if",
          "TK_CONDITION while", "TK_END"}},
        {LEX_STMT, "let noise17e spawn out own ",
         {"TK_SEQ_COMMAND let", "TK_SEQ_COMMAND noise17e", "TK_SEQ_COMMAND spawn", "TK_SEQ_COMMAND out",
          "TK_SEQ_COMMAND own", "TK_END"}},
        {LEX_STMT, "samplerate pckey ccvar run global ",
         {"TK_GLOBAL_COMMAND samplerate", "TK_GLOBAL_COMMAND pckey", "TK_GLOBAL_COMMAND ccvar",
          "TK_GLOBAL_COMMAND run", "TK_GLOBAL_COMMAND global", "TK_END"}},
        {LEX_STMT, "@loop @release @other ", {"TK_LABEL loop", "TK_LABEL release", "TK_IDENT @other", "TK_END"}},
        {LEX_EXPR, "@loop ", {"TK_AT @", "TK_IDENT loop", "TK_END"}},
        {LEX_STMT, "_x ", {"TK_IDENT _x", "TK_END"}},
        {LEX_EXPR, "_x ", {"TK_UNDERSCORE", "TK_IDENT x", "TK_END"}},
    });
}

TEST(Lexer, PercentTokens) {
    ExpectScans({
        {LEX_STMT, "%a %_ %7 ", {"TK_PERCENT %a", "TK_PERCENT %_", "TK_PERCENT %7", "TK_END"}},
        {LEX_STMT, "%$", {"TK_PERCENT %", "null"}},
        {LEX_EXPR, "% a", {"TK_PERCENT %", "null"}},
    });
}

TEST(Lexer, StringsWithEscapesAndHighBytes) {
    ExpectScans({
        {LEX_STMT, "\"a\\\"b\\\\c\" ", {"TK_STRING a\"b\\c", "TK_END"}},
        {LEX_STMT, "\"x // y\" ", {"TK_STRING x // y", "TK_END"}},
        {LEX_STMT, "\"abc", {"TK_END abc"}},
        {LEX_STMT, "\"ab\\", {"TK_END ab"}},
        {LEX_STMT, "\"\xC3\xA9\" ", {"TK_STRING \xC3\xA9", "TK_END"}},
        {LEX_STMT, "\xC3" "a\xC3 ", {"TK_IDENT a", "TK_END"}},
    });
}

TEST(Lexer, OperatorsAndSingleBytes) {
    ExpectScans({
        {LEX_STMT, "{}=:[](),+*?/`",
         {"TK_LBRACE", "TK_RBRACE", "TK_EQUALS", "TK_COLON", "TK_LBRACKET", "TK_RBRACKET", "TK_LPAREN", "TK_RPAREN",
          "TK_COMMA", "TK_PLUS", "TK_STAR", "TK_QUESTION", "TK_SLASH", "TK_BACKQUOTE", "TK_END"}},
        {LEX_EXPR, "~!#@_-", {"TK_TILDE ~", "TK_BANG !", "TK_HASH #", "TK_AT @", "TK_UNDERSCORE", "TK_MINUS -", "TK_END"}},
        {LEX_EXPR, "\\\\ \\ 1", {"TK_DOUBLE_BACKSLASH", "TK_BACKSLASH", "TK_END 1"}},
        {LEX_STMT, "$;^|'", {"TK_INVALID $", "TK_INVALID ;", "TK_INVALID ^", "TK_INVALID |", "TK_INVALID '", "TK_END"}},
    });
}

TEST(Lexer, BackquoteTable) {
    ExpectScans({
        {LEX_BACKQUOTE, "_0-5a?`",
         {"TK_BQ_DIGIT 1", "TK_BQ_DIGIT 5", "TK_BQ_DIGIT 9", "TK_BQ_DIGIT 5", "TK_IDENT a", "TK_QUESTION ?",
          "TK_BACKQUOTE", "TK_END"}},
        {LEX_BACKQUOTE, "19 .\n2//x\n3`", {"TK_BQ_DIGIT 1", "TK_BQ_DIGIT 9", "TK_IDENT .", "TK_BQ_DIGIT 2",
                                            "TK_BQ_DIGIT 3", "TK_BACKQUOTE", "TK_END"}},
        {LEX_BACKQUOTE, "c4", {"TK_IDENT c", "TK_BQ_DIGIT 4", "TK_END"}},
        {LEX_BACKQUOTE, "[", {"TK_END"}},
    });
    const char* rejected = "}1";  // a byte that begins nothing there is left for the body parser
    Token token;
    EXPECT_EQ(NextToken(rejected, token, LEX_BACKQUOTE), rejected);
    EXPECT_EQ(token.kind, morvanel::TK_END);
}

TEST(Lexer, FailedPercentNullsTheCursorAndCountsNothing) {
    const char* cursor = "ab %$ c ";
    ParseContext context;
    ASSERT_TRUE(AdvanceToken(cursor, context, LEX_STMT));
    EXPECT_FALSE(AdvanceToken(cursor, context, LEX_STMT));
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(context.column, 2);
    EXPECT_EQ(context.line, 0);
    Token token;
    EXPECT_EQ(NextToken(cursor, token, LEX_STMT), nullptr);
    EXPECT_EQ(token.kind, morvanel::TK_INVALID);
    EXPECT_FALSE(AdvanceToken(cursor, context, LEX_STMT));
}

TEST(Lexer, AdvanceTokenCountsLinesAndColumns) {
    struct Step {
        LexMode mode;
        int line;
        int column;
    };
    struct CountCase {
        const char* text;
        std::vector<Step> steps;  // position after each AdvanceToken
    };
    const std::vector<CountCase> cases = {
        {"  x\n", {{LEX_STMT, 0, 3}}},
        {"  x\r\n  y ", {{LEX_STMT, 0, 3}, {LEX_STMT, 1, 3}}},
        {"\tab // note\n\n cd ", {{LEX_STMT, 0, 3}, {LEX_STMT, 2, 3}}},
        {"a\r\nb ", {{LEX_EXPR, 0, 1}, {LEX_EXPR, 0, 1}, {LEX_EXPR, 1, 0}, {LEX_EXPR, 1, 1}}},
        {"\"x\ny\" z ", {{LEX_STMT, 1, 2}, {LEX_STMT, 1, 4}}},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(c.text);
        const char* cursor = c.text;
        ParseContext context;
        for (const Step& step : c.steps) {
            ASSERT_TRUE(AdvanceToken(cursor, context, step.mode));
            EXPECT_EQ(context.line, step.line);
            EXPECT_EQ(context.column, step.column);
        }
    }
}

}  // namespace
