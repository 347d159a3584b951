/* The header grammar: a header is any sequence of fields and end markers; a field is a name
   followed by one or more body pieces, joined in order. */

%require "3.8"
%language "c++"
%define api.prefix {rfc}
%define api.namespace {rfc}
%define api.parser.class {rfcparser}
%define api.value.type variant
%define parse.error detailed

%code requires {
#include <string>

class MessageHeader;
class rfcFlexLexer;
}

%parse-param {rfcFlexLexer& scanner} {MessageHeader*& header} {bool& malformed}
%lex-param {rfcFlexLexer& scanner}

%code {
#include <utility>

#include "header/message_header.h"
#include "header/rfc_lexer.h"
#include "report/reporter.h"

namespace rfc {

// Pulls the next token and takes over its text as the semantic value.
int rfclex(rfcparser::value_type* value, rfcFlexLexer& scanner) {
  const int code = scanner.yylex();
  if (code != 0) value->emplace<std::string>(std::move(header_token_value));
  return code;
}

}  // namespace rfc
}

%token <std::string> HEADER_END ENVELOPE_LINE FIELD_NAME FIELD_TEXT
%nterm <std::string> field_body end_marker

%start header_fields

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

void rfc::rfcparser::error(const std::string& message) {
  malformed = true;
  Reporter::instance().error("Parser reported " + message + ".", 1);
}
