#pragma once
// What the write-to-tag window makes of the operator's text: the name it shows
// for a tag's canonical type, and the typed text turned into a value of that
// type, ready for the tag's client write. Text that does not stand for a value
// of the type is refused rather than guessed at, so that a typing slip never
// reaches the counter as some other number.

#include "platform/OleAuto.h"

#include <string>

class TagValueText {
public:
    // "Short 2 Byte Int", "Int 4 Byte Int", "Float 4 Byte real",
    // "Double 8 Byte real", "String", "Bool (T/F,True/False,1/0)",
    // "Byte 0-255"; "Unknown" for every other type.
    static const char* TypeName(VARTYPE type);

    // Whether a value of the type can be built from text (the types with a name above).
    static bool IsWritableType(VARTYPE type);

    // Builds in out (an initialised variant, cleared first) the value of the text in the given type and
    // returns true; on false out is Empty. Numbers are read in the program's
    // invariant form ('.' as the decimal point) and must use the whole text
    // (surrounding blanks aside), be finite and fit the type: "abc", "12abc",
    // "2,5" and 300 for a byte are refused. A bool takes T, True or 1 as true and F,
    // False or 0 as false, in any letter case; anything else is refused. A
    // string takes the text unchanged.
    static bool ToVariant(const std::string& text, VARTYPE type, VARIANT& out);
};
