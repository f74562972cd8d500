#include "postwing/values.hpp"

#include <cmath>
#include <utility>

#include "core/ascii.hpp"
#include "core/error_report.hpp"
#include "core/factory.hpp"
#include "core/keyed_list.hpp"
#include "message/field_split.hpp"
#include "message/key_lookup.hpp"

namespace postwing {

SubValues::SubValues(detail::PassKey) : items_(std::make_unique<detail::KeyedList<SubValue>>()) {}
SubValues::~SubValues() = default;
int32_t SubValues::Count() const {
  return static_cast<int32_t>(items_->Size());
}
SubValues::const_iterator SubValues::begin() const {
  return items_->Begin();
}
SubValues::const_iterator SubValues::end() const {
  return items_->End();
}

Values::Values(detail::PassKey) : items_(std::make_unique<detail::KeyedList<Value>>()) {}
Values::~Values() = default;
int32_t Values::Count() const {
  return static_cast<int32_t>(items_->Size());
}
Values::const_iterator Values::begin() const {
  return items_->Begin();
}
Values::const_iterator Values::end() const {
  return items_->End();
}

namespace detail {

std::string FoldKey(std::string_view key) {
  return LowerCase(key);
}

CollectionKey ClassifyKey(const Variant& key) {
  struct Visitor {
    CollectionKey operator()(std::monostate) const { RaiseRuntimeError(kErrInvalidProcedureCall); }
    CollectionKey operator()(int32_t v) const { return {true, v, {}}; }
    CollectionKey operator()(double v) const {
      // Rounds half to even, as the automation runtime does for an index.
      const double r = std::nearbyint(v);
      if (!(r >= -2147483648.0 && r <= 2147483647.0)) RaiseRuntimeError(kErrOverflow);
      return {true, static_cast<int64_t>(r), {}};
    }
    CollectionKey operator()(bool v) const { return {true, v ? -1 : 0, {}}; }
    CollectionKey operator()(const std::string& v) const { return {false, 0, v}; }
    CollectionKey operator()(const Date&) const { RaiseRuntimeError(kErrTypeMismatch); }
    CollectionKey operator()(const Variant::Array&) const { RaiseRuntimeError(kErrTypeMismatch); }
    CollectionKey operator()(const ObjectRef&) const { RaiseRuntimeError(kErrTypeMismatch); }
  };
  return std::visit(Visitor{}, key.Value());
}

}  // namespace detail

namespace {

template <class T>
size_t PositionIn(const detail::KeyedList<T>& items, const Variant& key) {
  const detail::CollectionKey k = detail::ClassifyKey(key);
  if (k.is_index) {
    if (k.index < 1 || k.index > static_cast<int64_t>(items.Size())) {
      detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
    }
    return static_cast<size_t>(k.index - 1);
  }
  const size_t position = items.Find(k.name);
  if (position == items.Size()) detail::RaiseRuntimeError(detail::kErrInvalidProcedureCall);
  return position;
}

template <class T>
bool ExistsIn(const detail::KeyedList<T>& items, const Variant& key) {
  try {
    PositionIn(items, key);
    return true;
  } catch (...) {
    return false;
  }
}

// Sets the text of the item named Key, or adds one when there is none.
template <class T, class Collection>
Variant LetValueIn(Collection& collection, const detail::KeyedList<T>& items, std::string Text,
                   std::string Key) {
  const size_t position = items.Find(Key);
  if (position < items.Size()) {
    const auto item = items.At(position).item;  // the parse may replace the list
    item->SetText(std::move(Text));
  } else {
    collection.Add(std::move(Text), std::move(Key));
  }
  return {};
}

template <class T>
std::string GetValueIn(const detail::KeyedList<T>& items, std::string_view Key) {
  const size_t position = items.Find(Key);
  return position < items.Size() ? items.At(position).item->Text() : std::string();
}

}  // namespace

// ---- SubValue ----

void SubValue::SetText(std::string Text) {
  text_ = std::move(Text);
  if (auto collection = parent_.lock()) collection->UpdateValueText();
}

// ---- SubValues ----

std::shared_ptr<SendMail> SubValues::RootParent() const {
  if (auto root = root_.lock()) return root;
  if (auto value = parent_value_.lock()) {
    if (auto owner = value->owner_.lock()) return owner->RootParent();
  }
  return nullptr;
}

size_t SubValues::Position(const Variant& key) const {
  return PositionIn(*items_, key);
}

std::string SubValues::Render() const {
  std::string text;
  for (size_t i = 0; i < items_->Size(); ++i) {
    const SubValue& part = *items_->At(i).item;
    if (i > 0 && !part.Key().empty()) {
      text += part.Key();
      text += '=';
    }
    text += part.Text();
    text += ';';
  }
  if (!text.empty()) text.pop_back();
  return text;
}

std::shared_ptr<SubValue> SubValues::Add(std::string Text, std::string Key) {
  try {
    if (items_->Contains(Key)) detail::RaiseRuntimeError(detail::kErrKeyExists);
    auto part = detail::Factory::Make<SubValue>();
    part->SetParentValue(shared_from_this());
    part->text_ = Text;
    part->key_ = Key;
    if (auto value = ParentValue()) {
      // The field text becomes its parts so far, canonical, then the new part; no parse.
      std::string text = Render();
      text += ';';
      if (!Key.empty()) {
        text += Key;
        text += '=';
      }
      text += Text;
      value->text_ = std::move(text);
    }
    items_->PushBack(part, std::move(Key));
    return part;
  } catch (...) {
    detail::RecordAndRethrow(RootParent(), "SubValues.Add");
  }
}

std::shared_ptr<SubValue> SubValues::Item(const Variant& Key) const {
  return items_->At(Position(Key)).item;
}
std::shared_ptr<SubValue> SubValues::Item(int32_t Index) const {
  return Item(Variant(Index));
}
std::shared_ptr<SubValue> SubValues::Item(std::string_view Key) const {
  return Item(Variant(Key));
}

void SubValues::Remove(const Variant& Key) {
  items_->Erase(Position(Key));
  if (!parsing_) UpdateValueText();
}

bool SubValues::Exists(const Variant& Key) const {
  return ExistsIn(*items_, Key);
}

Variant SubValues::LetValue(std::string Text, std::string Key) {
  return LetValueIn(*this, *items_, std::move(Text), std::move(Key));
}

std::string SubValues::GetValue(std::string_view Key) const {
  return GetValueIn(*items_, Key);
}

void SubValues::UpdateValueText() {
  if (rendering_) return;
  rendering_ = true;
  try {
    std::string text = Render();
    if (auto value = ParentValue()) value->SetText(std::move(text));
    rendering_ = false;
  } catch (...) {
    rendering_ = false;
    detail::RecordAndRethrow(RootParent(), "SubValues.UpdateValueText");
  }
}

void SubValues::UpdateSubValues(Value& value) {
  if (parsing_) return;
  parsing_ = true;
  try {
    // Parsed aside and committed whole, so a failure leaves the parts as they were.
    detail::KeyedList<SubValue> parsed;
    const auto self = shared_from_this();
    auto add = [&](std::string_view text, std::string_view key) {
      auto part = detail::Factory::Make<SubValue>();
      part->SetParentValue(self);
      part->text_ = std::string(text);
      part->key_ = std::string(key);
      // A name that repeats in the text is kept on its part, which is then reached by
      // index only: any text the host gives a field parses.
      parsed.PushBack(std::move(part), parsed.Contains(key) ? std::string() : std::string(key));
    };
    const std::vector<std::string_view> pieces = detail::SplitOutsideQuotes(value.text_, ';');
    if (pieces.size() == 1) {
      add(pieces[0], detail::TrimBlanks(value.key_));
    } else {
      add(pieces[0], value.key_);
      for (size_t i = 1; i < pieces.size(); ++i) {
        const std::vector<std::string_view> parts = detail::SplitOutsideQuotes(pieces[i], '=');
        if (parts.size() == 1) {
          add(pieces[i], {});
        } else {
          add(parts[1], detail::TrimBlanks(parts[0]));
        }
      }
    }
    *items_ = std::move(parsed);
    parsing_ = false;
  } catch (...) {
    parsing_ = false;
    detail::RecordAndRethrow(RootParent(), "SubValues.UpdateSubValues");
  }
}

// ---- Value ----

void Value::SetText(std::string Text) {
  if (!sub_values_) {
    text_ = std::move(Text);
    return;
  }
  std::string former = std::exchange(text_, Text);
  try {
    sub_values_->UpdateSubValues(*this);
  } catch (...) {
    text_ = std::move(former);
    throw;
  }
  text_ = std::move(Text);
}

// ---- Values ----

size_t Values::Position(const Variant& key) const {
  return PositionIn(*items_, key);
}

std::shared_ptr<Value> Values::Add(std::string Text, std::string Key) {
  try {
    if (items_->Contains(Key)) detail::RaiseRuntimeError(detail::kErrKeyExists);
    auto value = detail::Factory::Make<Value>();
    auto parts = detail::Factory::Make<postwing::SubValues>();
    parts->SetRootParent(RootParent());
    parts->SetParentValue(value);
    value->sub_values_ = parts;
    value->owner_ = weak_from_this();
    value->key_ = Key;
    value->SetText(std::move(Text));
    items_->PushBack(value, std::move(Key));
    return value;
  } catch (...) {
    detail::RecordAndRethrow(RootParent(), "Values.Add");
  }
}

std::shared_ptr<Value> Values::Item(const Variant& Key) const {
  return items_->At(Position(Key)).item;
}
std::shared_ptr<Value> Values::Item(int32_t Index) const {
  return Item(Variant(Index));
}
std::shared_ptr<Value> Values::Item(std::string_view Key) const {
  return Item(Variant(Key));
}

void Values::Remove(const Variant& Key) {
  items_->Erase(Position(Key));
}

bool Values::Exists(const Variant& Key) const {
  return ExistsIn(*items_, Key);
}

Variant Values::LetValue(std::string Text, std::string Key) {
  return LetValueIn(*this, *items_, std::move(Text), std::move(Key));
}

std::string Values::GetValue(std::string_view Key) const {
  return GetValueIn(*items_, Key);
}

}  // namespace postwing
