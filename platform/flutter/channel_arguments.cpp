#include "platform/flutter/channel_arguments.h"

#include <cctype>
#include <climits>
#include <cmath>

namespace flutter {

int64_t TextIntegerValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    int digit = text[i] - '0';
    if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

ChannelArguments::ChannelArguments(std::shared_ptr<const std::string> method, fnd::Value container,
                                   std::shared_ptr<std::string> problem,
                                   std::shared_ptr<const std::vector<std::string>> names)
    : method_(std::move(method)),
      names_(std::move(names)),
      container_(std::move(container)),
      problem_(std::move(problem)) {}

ChannelArguments ChannelArguments::ofMap(std::string method, const fnd::Value& arguments) {
  return ChannelArguments(std::make_shared<const std::string>(std::move(method)), arguments,
                          std::make_shared<std::string>(),
                          std::make_shared<const std::vector<std::string>>());
}

ChannelArguments ChannelArguments::ofList(std::string method, const fnd::Value& arguments,
                                          std::vector<std::string> names) {
  return ChannelArguments(std::make_shared<const std::string>(std::move(method)), arguments,
                          std::make_shared<std::string>(),
                          std::make_shared<const std::vector<std::string>>(std::move(names)));
}

ChannelArguments ChannelArguments::nested(const fnd::Value& container) const {
  return ChannelArguments(method_, container, problem_,
                          std::make_shared<const std::vector<std::string>>());
}

std::string ChannelArguments::nameOf(const Key& key) const {
  if (key.key_) return "\"" + *key.key_ + "\"";
  if (key.index_ < names_->size()) return "\"" + (*names_)[key.index_] + "\"";
  return "argument " + std::to_string(key.index_);
}

fnd::Value ChannelArguments::any(const Key& key) {
  if (key.key_) {
    if (const fnd::Dictionary* map = container_.dictionary()) return map->get(*key.key_);
    if (!container_.isNull()) fail("the arguments must be a map");
    return fnd::Value();
  }
  if (const fnd::Array* list = container_.array()) {
    return key.index_ < list->size() ? (*list)[key.index_] : fnd::Value();
  }
  fail("the message must be a list of arguments");
  return fnd::Value();
}

bool ChannelArguments::has(const Key& key) { return !any(key).isNull(); }

std::optional<std::string> ChannelArguments::string(const Key& key) {
  fnd::Value v = any(key);
  if (v.isString()) return v.asString();
  if (!v.isNull()) fail(key, "a string");
  return std::nullopt;
}

std::string ChannelArguments::requiredString(const Key& key) {
  fnd::Value v = any(key);
  if (v.isString()) return v.asString();
  fail(key, "a string");
  return "";
}

bool ChannelArguments::boolean(const Key& key, bool integersOnly) {
  fnd::Value v = any(key);
  if (v.isBool() || (integersOnly ? v.isInt() : v.isNumber())) return v.asBool();
  if (!v.isNull()) fail(key, "a boolean");
  return false;
}

int64_t ChannelArguments::integer(const Key& key) {
  fnd::Value v = any(key);
  if (v.isInt() || v.isBool()) return v.asInt();
  if (v.isDouble()) {
    double d = v.asDouble();
    if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.0e18) {
      return static_cast<int64_t>(d);
    }
  }
  fail(key, "an integer");
  return 0;
}

int64_t ChannelArguments::integerValue(const Key& key, bool text) {
  fnd::Value v = any(key);
  if (v.isBool() || v.isNumber()) return v.asInt();
  if (text && v.isString()) return TextIntegerValue(v.asString());
  if (!v.isNull()) fail(key, "a number");
  return 0;
}

std::optional<fnd::Data> ChannelArguments::data(const Key& key) {
  fnd::Value v = any(key);
  if (const fnd::Data* d = v.data()) return *d;
  if (!v.isNull()) fail(key, "bytes");
  return std::nullopt;
}

std::optional<fnd::Dictionary> ChannelArguments::dictionary(const Key& key) {
  fnd::Value v = any(key);
  if (const fnd::Dictionary* d = v.dictionary()) return *d;
  if (!v.isNull()) fail(key, "a map");
  return std::nullopt;
}

std::optional<fnd::Dictionary> ChannelArguments::stringKeyedDictionary(const Key& key) {
  fnd::Value v = any(key);
  if (v.isNull()) return std::nullopt;
  if (const fnd::Dictionary* d = v.dictionary()) {
    bool textKeys = true;
    for (const auto& entry : *d) textKeys = textKeys && entry.first.isString();
    if (textKeys) return *d;
  }
  fail(key, "a map with text keys");
  return std::nullopt;
}

std::vector<fnd::Dictionary> ChannelArguments::dictionaries(const Key& key) {
  std::vector<fnd::Dictionary> maps;
  fnd::Value v = any(key);
  if (v.isNull()) return maps;
  const fnd::Array* list = v.array();
  if (!list) {
    fail(key, "a list");
    return maps;
  }
  for (const fnd::Value& element : *list) {
    const fnd::Dictionary* map = element.dictionary();
    if (!map) {
      fail("every element of " + nameOf(key) + " must be a map");
      break;
    }
    maps.push_back(*map);
  }
  return maps;
}

std::optional<std::vector<std::string>> ChannelArguments::strings(const Key& key) {
  fnd::Value v = any(key);
  if (v.isNull()) return std::nullopt;
  if (const fnd::Array* list = v.array()) {
    std::vector<std::string> out;
    out.reserve(list->size());
    for (const fnd::Value& e : *list) {
      if (!e.isString()) break;
      out.push_back(e.asString());
    }
    if (out.size() == list->size()) return out;
  }
  fail(key, "a list of strings");
  return std::nullopt;
}

void ChannelArguments::fail(std::string problem) {
  if (problem_->empty()) *problem_ = std::move(problem);
}

void ChannelArguments::fail(const Key& key, std::string_view what) {
  fail(nameOf(key) + " must be " + std::string(what));
}

std::string ChannelArguments::message() const {
  return "Invalid arguments for " + *method_ + ": " + *problem_ + ".";
}

std::shared_ptr<FlutterError> ChannelArguments::refusal(std::string code,
                                                        fnd::Value details) const {
  return std::make_shared<FlutterError>(std::move(code), message(), std::move(details));
}

bool ChannelArguments::refused(const FlutterResult& result, std::string code,
                               fnd::Value details) const {
  if (ok()) return false;
  result(fnd::Value(std::shared_ptr<fnd::Record>(refusal(std::move(code), std::move(details)))));
  return true;
}

}  // namespace flutter
