// The header-field model: Values (fields) and SubValues (a field split at ";").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "postwing/enumeration.hpp"
#include "postwing/types.hpp"

namespace postwing {

class SendMail;
class Values;
class Value;
class SubValues;
class SubValue;

// One part of a field: the main value (keyed with the field's key) or a parameter.
class SubValue : public Object {
 public:
  explicit SubValue(detail::PassKey) {}

  const std::string& Text() const { return text_; }
  // Stores the text and rewrites the field's text from its parts, which are then parsed
  // again into new SubValue objects (this one leaves the collection).
  void SetText(std::string Text);
  const std::string& Key() const { return key_; }
  // Only stores the key: the collection is not re-keyed and the field is not rewritten.
  void SetKey(std::string Key) { key_ = std::move(Key); }
  // The collection that holds this part.
  std::shared_ptr<SubValues> ParentValue() const { return parent_.lock(); }
  void SetParentValue(const std::shared_ptr<SubValues>& ParentValue) { parent_ = ParentValue; }

 private:
  friend class SubValues;
  std::string text_;
  std::string key_;
  std::weak_ptr<SubValues> parent_;
};

// The parts of one field, in order; keys compare without case and are unique, and parts
// without a key may repeat (they are reached by index only).
class SubValues : public Object, public std::enable_shared_from_this<SubValues> {
 public:
  using const_iterator = detail::Enumerator<SubValue>;

  explicit SubValues(detail::PassKey);
  ~SubValues() override;

  // Appends a part and writes it into the field text (text ";" [key "="] Text), without
  // parsing the field again. A key already present raises 457, recorded as "SubValues.Add".
  std::shared_ptr<SubValue> Add(std::string Text, std::string Key = {});
  // By 1-based index (a whole number) or key (a string). Raises 9 for an index out of
  // range, 5 for a missing key, unrecorded.
  std::shared_ptr<SubValue> Item(const Variant& Key) const;
  std::shared_ptr<SubValue> Item(int32_t Index) const;
  std::shared_ptr<SubValue> Item(std::string_view Key) const;
  std::shared_ptr<SubValue> Item(const char* Key) const { return Item(std::string_view(Key)); }
  std::shared_ptr<SubValue> Item(const std::string& Key) const {
    return Item(std::string_view(Key));
  }
  // Removes a part and rewrites the field text from the rest. Raises as Item does.
  void Remove(const Variant& Key);
  int32_t Count() const;
  // True when Item(Key) would succeed; never raises.
  bool Exists(const Variant& Key) const;
  // Sets the text of the part Key, or adds it. Returns an empty Variant.
  Variant LetValue(std::string Text, std::string Key);
  // The text of the part Key, or "".
  std::string GetValue(std::string_view Key) const;

  // The field these parts belong to.
  std::shared_ptr<Value> ParentValue() const { return parent_value_.lock(); }
  void SetParentValue(const std::shared_ptr<Value>& ParentValue) { parent_value_ = ParentValue; }
  // The SendMail whose log records errors; when none was set, the one of the field's Values.
  std::shared_ptr<SendMail> RootParent() const;
  void SetRootParent(const std::shared_ptr<SendMail>& RootParent) { root_ = RootParent; }

  const_iterator begin() const;
  const_iterator end() const;

  // Library use: renders the parts into the parent field's text (which parses it again).
  void UpdateValueText();
  // Library use: parses the text of value into this collection. A parameter name that
  // repeats is kept on its part, which is reached by index only. A failed parse leaves
  // the collection as it was.
  void UpdateSubValues(Value& value);

 private:
  friend class Value;
  size_t Position(const Variant& key) const;  // raises like Item
  std::string Render() const;

  std::unique_ptr<detail::KeyedList<SubValue>> items_;
  std::weak_ptr<Value> parent_value_;
  std::weak_ptr<SendMail> root_;
  bool rendering_ = false;
  bool parsing_ = false;
};

// One header field: Key ": " Text when written.
class Value : public Object, public std::enable_shared_from_this<Value> {
 public:
  explicit Value(detail::PassKey) {}

  const std::string& Text() const { return text_; }
  // Stores the text exactly and parses it into SubValues; any text parses.
  void SetText(std::string Text);
  const std::string& Key() const { return key_; }
  // Only stores the key: the collection is not re-keyed.
  void SetKey(std::string Key) { key_ = std::move(Key); }
  std::shared_ptr<postwing::SubValues> SubValues() const { return sub_values_; }
  void SetSubValues(const std::shared_ptr<postwing::SubValues>& SubValues) {
    sub_values_ = SubValues;
  }

 private:
  friend class postwing::SubValues;
  friend class Values;
  std::string text_;
  std::string key_;
  std::shared_ptr<postwing::SubValues> sub_values_;
  std::weak_ptr<Values> owner_;
};

// The fields of a header, a body part or an attachment part, in the order they are
// written. Keys compare without case and are unique.
class Values : public Object, public std::enable_shared_from_this<Values> {
 public:
  using const_iterator = detail::Enumerator<Value>;

  explicit Values(detail::PassKey);
  ~Values() override;

  // Appends the field Key with Text (parsed into its SubValues). A key already present
  // raises 457; any failure is recorded as "Values.Add" and nothing is added.
  std::shared_ptr<Value> Add(std::string Text, std::string Key);
  // By 1-based index (a whole number) or key (a string). Raises 9 for an index out of
  // range, 5 for a missing key, unrecorded.
  std::shared_ptr<Value> Item(const Variant& Key) const;
  std::shared_ptr<Value> Item(int32_t Index) const;
  std::shared_ptr<Value> Item(std::string_view Key) const;
  std::shared_ptr<Value> Item(const char* Key) const { return Item(std::string_view(Key)); }
  std::shared_ptr<Value> Item(const std::string& Key) const { return Item(std::string_view(Key)); }
  void Remove(const Variant& Key);
  int32_t Count() const;
  // True when Item(Key) would succeed; never raises.
  bool Exists(const Variant& Key) const;
  // Sets the text of the field Key, or adds the field at the end. Returns an empty Variant.
  Variant LetValue(std::string Text, std::string Key);
  // The text of the field Key, or "".
  std::string GetValue(std::string_view Key) const;

  std::shared_ptr<SendMail> RootParent() const { return root_.lock(); }
  void SetRootParent(const std::shared_ptr<SendMail>& RootParent) { root_ = RootParent; }

  const_iterator begin() const;
  const_iterator end() const;

 private:
  size_t Position(const Variant& key) const;

  std::unique_ptr<detail::KeyedList<Value>> items_;
  std::weak_ptr<SendMail> root_;
};

}  // namespace postwing
