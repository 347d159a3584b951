#pragma once

#include <string>

// The characters of an expression that are operators in extended syntax but match themselves in
// basic syntax: unescaped | + ? ( ) outside bracket expressions, each listed once in order of
// first use ("| ( )"); "" when there are none.
std::string extendedOperatorsIn(const std::string& expression);

// Under basic syntax (REG_TYPE not "extended"), warns about each rule that uses such characters:
// it probably meant extended syntax. Call after the rc file has been read.
void warnAboutBasicSyntaxRules();
