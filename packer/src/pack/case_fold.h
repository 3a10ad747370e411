// Folds UTF-16 code units the way Windows compares file names: to upper case,
// unit by unit, without normalisation. Covered: ASCII, Latin-1, Latin
// Extended-A, Latin Extended Additional, Greek, Cyrillic (with supplement),
// Armenian, Roman numerals, circled and fullwidth Latin letters. Other units
// (including surrogates, so non-BMP characters) compare exactly.
#pragma once

#include <string>

namespace tarven {

char16_t fold_case(char16_t unit);
std::u16string fold_case(const std::u16string& text);

}  // namespace tarven
