#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

// The header of one message while it is judged: every field in order, the four kept fields, the
// normalised subject (with NORMAL on) and the size the server reported.
class MessageHeader {
 public:
  // One field as (name, value). The views point into the record: valid while it lives and no
  // field is added.
  struct Field {
    std::string_view first;
    std::string_view second;
    bool operator==(const Field&) const = default;
  };

  // The fields in header order. A header of a million tiny fields must not cost a hundred bytes
  // each, so they are stored as one text and a small span per field, and read as views.
  class FieldList {
   public:
    class const_iterator {
     public:
      using iterator_category = std::forward_iterator_tag;
      using value_type = Field;
      using difference_type = std::ptrdiff_t;
      using pointer = void;
      using reference = Field;
      const_iterator(const MessageHeader* header, size_t at) : header_(header), at_(at) {}
      Field operator*() const { return header_->field(at_); }
      const_iterator& operator++() {
        ++at_;
        return *this;
      }
      bool operator==(const const_iterator&) const = default;

     private:
      const MessageHeader* header_;
      size_t at_;
    };
    using iterator = const_iterator;
    using value_type = Field;

    explicit FieldList(const MessageHeader* header) : header_(header) {}
    size_t size() const { return header_->spans_.size(); }
    bool empty() const { return header_->spans_.empty(); }
    Field operator[](size_t i) const { return header_->field(i); }
    const_iterator begin() const { return {header_, 0}; }
    const_iterator end() const { return {header_, size()}; }
    bool operator==(const std::vector<Field>& other) const;

   private:
    const MessageHeader* header_;
  };

  MessageHeader() = default;
  MessageHeader(const MessageHeader&) = delete;
  MessageHeader& operator=(const MessageHeader&) = delete;

  FieldList fields() const { return FieldList(this); }
  // Empty when the header has no Message-ID, or has one of the wrong form (see addField).
  const std::string& messageId() const { return message_id_; }
  // Whether a Message-ID field had the wrong form (without -i).
  bool wrongMessageId() const { return wrong_message_id_; }
  const std::string& from() const { return from_; }
  const std::string& subject() const { return subject_; }
  const std::string& normalisedSubject() const { return normalised_subject_; }
  const std::string& date() const { return date_; }
  int size() const { return size_; }

  void setSize(int n) { size_ = n; }
  void setMessageId(const std::string& text) { message_id_ = text; }
  void setFrom(const std::string& text) { from_ = text; }
  void setSubject(const std::string& text) { subject_ = text; }
  void setDate(const std::string& text) { date_ = text; }

  // Room for fields up to this many in all and this many bytes of names and values, so that a
  // large header is stored without regrowing.
  void reserve(size_t fields, size_t text_bytes);
  // Appends the field and updates the kept fields; throws std::length_error beyond 4 GiB of field
  // text. A Message-ID of the wrong form (unless time stamps are ignored) is reported at level 1
  // and leaves the header without a Message-ID for good, whatever Message-ID follows.
  void addField(std::string_view name, std::string_view value);
  // Stores "Subject: " + text reduced to letters, digits, "@" and single white space.
  void normaliseSubject(std::string text);

 private:
  // A field's name and value lie one after the other in text_, from at.
  struct Span {
    uint32_t at;
    uint32_t name_size;
    uint32_t value_size;
  };
  Field field(size_t i) const {
    const Span& span = spans_[i];
    const std::string_view text(text_);
    return {text.substr(span.at, span.name_size),
            text.substr(span.at + span.name_size, span.value_size)};
  }

  std::string text_;
  std::vector<Span> spans_;
  std::string message_id_;
  std::string from_;
  std::string subject_;
  std::string normalised_subject_;
  std::string date_;
  int size_ = 0;
  bool wrong_message_id_ = false;
};

// For test failure messages.
std::ostream& operator<<(std::ostream& out, const MessageHeader::Field& field);

// name + ": " + value: the text that rules and MAXLENGTH work on.
inline std::string headerLine(const MessageHeader::Field& field) {
  std::string line;
  line.reserve(field.first.size() + 2 + field.second.size());
  line += field.first;
  line += ": ";
  line += field.second;
  return line;
}
