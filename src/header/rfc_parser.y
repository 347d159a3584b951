/* The header grammar: a header is any sequence of fields and end markers; a field is a name
   followed by one or more body pieces, joined in order. */

%require "3.8"
%language "c++"
%define api.prefix {rfc}
%define api.namespace {rfc}
%define api.parser.class {rfcparser}
%define api.value.type variant
%define parse.error custom

%code requires {
#include <string>

class HeaderTokens;
class MessageHeader;
}

%parse-param {HeaderTokens*& scanner} {MessageHeader*& header} {bool& malformed}
%lex-param {HeaderTokens*& scanner}

%code {
#include <utility>

#include "header/message_header.h"
#include "header/rfc_lexer.h"
#include "report/reporter.h"

namespace {
// For the error message: the kind of the token before the look-ahead, and the last field name.
int previous_token = 0;
int current_token = 0;
std::string last_field_name;
std::string earlier_field_name;
}  // namespace

namespace rfc {

// Pulls the next token and takes over its text as the semantic value.
int rfclex(rfcparser::value_type* value, HeaderTokens*& scanner) {
  const int code = scanner->next();
  previous_token = current_token;
  current_token = code;
  if (code == rfcparser::token::FIELD_NAME) {
    earlier_field_name.swap(last_field_name);
    last_field_name = header_token_value;
  }
  if (code != 0) value->emplace<std::string>(std::move(header_token_value));
  return code;
}

}  // namespace rfc
}

%token <std::string> HEADER_END ENVELOPE_LINE FIELD_NAME FIELD_TEXT
%nterm <std::string> field_body end_marker

%start header_fields

%initial-action {
  previous_token = 0;
  current_token = 0;
}

%%

header_fields:
  %empty
| header_fields field
;

field:
  end_marker {}
| FIELD_NAME field_body { header->addField(std::move($1), std::move($2)); }
;

field_body:
  FIELD_TEXT { $$ = std::move($1); }
| field_body FIELD_TEXT { $$ = std::move($1); $$ += $2; }
;

end_marker:
  HEADER_END { $$ = std::move($1); }
;

%%

namespace {
void reportMalformed(bool& malformed, const std::string& message) {
  malformed = true;
  Reporter::instance().error("Parser reported " + message + ".", 1);
}
}  // namespace

void rfc::rfcparser::error(const std::string& message) { reportMalformed(malformed, message); }

// The grammar's token names mean nothing to the user: what was wrong, in words. The header fails
// in three ways only: an envelope line, a field name whose line does not end in CR LF, a
// continued line with no field to continue.
void rfc::rfcparser::report_syntax_error(const context& ctx) const {
  std::string what;
  const symbol_kind_type kind = ctx.token();
  symbol_kind_type expected[YYNTOKENS];
  const int count = ctx.expected_tokens(expected, YYNTOKENS);
  const bool field_body_expected = count == 1 && expected[0] == symbol_kind::S_FIELD_TEXT;
  if (kind == symbol_kind::S_ENVELOPE_LINE) {
    what = "a line that begins with \"From \" and has no colon is an envelope line, not a header "
           "field";
  } else if (field_body_expected && kind == symbol_kind::S_YYEOF) {
    what = "the header ends in the field \"" + last_field_name + ":\" before its line end";
  } else if (field_body_expected) {
    // The look-ahead may be the next field's name.
    const std::string& name =
        kind == symbol_kind::S_FIELD_NAME ? earlier_field_name : last_field_name;
    what = "the line of the field \"" + name + ":\" does not end in CR LF";
  } else if (kind == symbol_kind::S_FIELD_TEXT && previous_token == token::HEADER_END) {
    what = "text follows the end of the header";
  } else if (kind == symbol_kind::S_FIELD_TEXT) {
    what = "a continued line (one that begins with a blank) has no field before it";
  } else {
    what = "a line of the header stands where it cannot";
  }
  reportMalformed(malformed, "syntax error: " + what);
}
