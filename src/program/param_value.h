// PARAM_VALUE: the tagged value of constants, item arguments and conditions, with its units.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

namespace morvanel {

enum ValueKind : int32_t {
    VK_FLOAT = 0,
    VK_INTEGER = 1,
    VK_TEXT = 2,
    VK_LITERAL = 3,
    VK_VARIABLE = 4,
};

enum ValueUnit : int32_t {
    VU_PLAIN = 0,
    VU_NEGATED = 1,
    VU_SECONDS = 2,
    VU_BEATS = 3,
    VU_HERTZ = 4,
    VU_NOTE = 5,
};

// A plain tagged record copied by value; a VK_TEXT value owns its text and copies it with itself.
struct PARAM_VALUE {
    int32_t kind = VK_FLOAT;
    int32_t unit = VU_PLAIN;
    union Number {
        float asFloat;
        int64_t asInteger;
        int32_t slot;
        const char* literal;
    } number{};
    char* text = nullptr;

    PARAM_VALUE() { number.asInteger = 0; }
    PARAM_VALUE(const PARAM_VALUE& other) : kind(other.kind), unit(other.unit), number(other.number) {
        text = CopyText(other.text);
    }
    PARAM_VALUE(PARAM_VALUE&& other) noexcept : kind(other.kind), unit(other.unit), number(other.number) {
        text = std::exchange(other.text, nullptr);
    }
    PARAM_VALUE& operator=(const PARAM_VALUE& other) {
        if (this != &other) {
            char* copy = CopyText(other.text);
            delete[] text;
            kind = other.kind;
            unit = other.unit;
            number = other.number;
            text = copy;
        }
        return *this;
    }
    PARAM_VALUE& operator=(PARAM_VALUE&& other) noexcept {
        if (this != &other) {
            delete[] text;
            kind = other.kind;
            unit = other.unit;
            number = other.number;
            text = std::exchange(other.text, nullptr);
        }
        return *this;
    }
    ~PARAM_VALUE() { delete[] text; }

    static PARAM_VALUE Float(float value, int32_t unit = VU_PLAIN) {
        PARAM_VALUE result;
        result.kind = VK_FLOAT;
        result.unit = unit;
        result.number.asInteger = 0;
        result.number.asFloat = value;
        return result;
    }
    static PARAM_VALUE Integer(int64_t value) {
        PARAM_VALUE result;
        result.kind = VK_INTEGER;
        result.number.asInteger = value;
        return result;
    }
    static PARAM_VALUE Variable(int32_t slot, int32_t unit = VU_PLAIN) {
        PARAM_VALUE result;
        result.kind = VK_VARIABLE;
        result.unit = unit;
        result.number.asInteger = 0;
        result.number.slot = slot;
        return result;
    }
    static PARAM_VALUE Text(const char* value) {
        PARAM_VALUE result;
        result.kind = VK_TEXT;
        result.text = CopyText(value);
        return result;
    }
    static PARAM_VALUE Literal(const char* value) {
        PARAM_VALUE result;
        result.kind = VK_LITERAL;
        result.number.literal = value;
        return result;
    }

    // The text a value carries: the owned text of VK_TEXT, the literal of VK_LITERAL, else null.
    const char* TextOrNull() const {
        if (kind == VK_TEXT) return text;
        if (kind == VK_LITERAL) return number.literal;
        return nullptr;
    }

    static char* CopyText(const char* source) {
        if (source == nullptr) return nullptr;
        const size_t length = std::strlen(source);
        char* copy = new char[length + 1];
        std::memcpy(copy, source, length + 1);
        return copy;
    }
};

}  // namespace morvanel
