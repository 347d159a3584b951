#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Thrown by addField when a Message-ID has the wrong form.
class WrongMessageIDException : public std::runtime_error {
 public:
  WrongMessageIDException() : std::runtime_error("POP timestamp in message-ID invalid.") {}
};

// The header of one message while it is judged: every field in order, the four kept fields, the
// normalised subject (with NORMAL on) and the size the server reported.
class MessageHeader {
 public:
  using Field = std::pair<std::string, std::string>;

  MessageHeader() = default;
  MessageHeader(const MessageHeader&) = delete;
  MessageHeader& operator=(const MessageHeader&) = delete;

  const std::vector<Field>& fields() const { return fields_; }
  const std::string& messageId() const { return message_id_; }
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

  // Appends the field and updates the kept fields; throws WrongMessageIDException for a
  // Message-ID of the wrong form (unless time stamps are ignored).
  void addField(std::string name, std::string value);
  // Stores "Subject: " + text reduced to letters, digits, "@" and single white space.
  void normaliseSubject(std::string text);

 private:
  std::vector<Field> fields_;
  std::string message_id_;
  std::string from_;
  std::string subject_;
  std::string normalised_subject_;
  std::string date_;
  int size_ = 0;
};

// name + ": " + value: the text that rules and MAXLENGTH work on.
inline std::string headerLine(const MessageHeader::Field& field) {
  std::string line;
  line.reserve(field.first.size() + 2 + field.second.size());
  line += field.first;
  line += ": ";
  line += field.second;
  return line;
}
