// The reference for the YAML writer: the same tree sent as events to libyaml's own emitter with
// the settings-file configuration (UTF-8, unicode output, unlimited width, implicit document,
// no stream end). For trees without characters above U+FFFF, which libyaml escapes, its text
// must equal write_yaml's byte for byte.
#pragma once

#include <yaml.h>

#include <string>
#include <string_view>

#include "engine/setting_value.hpp"
#include "formats/numbers.hpp"
#include "formats/yaml.hpp"

namespace orn_test {

class LibyamlEmitter {
 public:
  LibyamlEmitter() {
    ok_ = yaml_emitter_initialize(&emitter_) != 0;
    yaml_emitter_set_output(&emitter_, &LibyamlEmitter::collect, &out_);
    yaml_emitter_set_encoding(&emitter_, YAML_UTF8_ENCODING);
    yaml_emitter_set_unicode(&emitter_, 1);
    yaml_emitter_set_width(&emitter_, -1);
    yaml_emitter_set_indent(&emitter_, 2);
    yaml_emitter_set_break(&emitter_, YAML_LN_BREAK);
    yaml_emitter_set_canonical(&emitter_, 0);
  }
  LibyamlEmitter(const LibyamlEmitter&) = delete;
  LibyamlEmitter& operator=(const LibyamlEmitter&) = delete;
  ~LibyamlEmitter() { yaml_emitter_delete(&emitter_); }

  // The text, or "<emitter error: ...>".
  std::string emit(const orn::SettingValue& root) {
    yaml_event_t event;
    yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING);
    send(event);
    yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1);
    send(event);
    node(root);
    yaml_document_end_event_initialize(&event, 1);
    send(event);
    if (!ok_)
      return std::string("<emitter error: ") + (emitter_.problem ? emitter_.problem : "") + ">";
    return out_;
  }

 private:
  static int collect(void* data, unsigned char* buffer, std::size_t size) {
    static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
    return 1;
  }

  void send(yaml_event_t& event) {
    if (ok_ && !yaml_emitter_emit(&emitter_, &event)) ok_ = false;
  }

  void scalar(std::string_view text, yaml_scalar_style_t style) {
    yaml_event_t event;
    yaml_scalar_event_initialize(&event, nullptr, nullptr,
                                 reinterpret_cast<yaml_char_t*>(const_cast<char*>(text.data())),
                                 static_cast<int>(text.size()), 1, 1, style);
    send(event);
  }

  void string(std::string_view text) {
    yaml_scalar_style_t style = YAML_ANY_SCALAR_STYLE;
    if (text.find('\n') != std::string_view::npos) {
      style = YAML_LITERAL_SCALAR_STYLE;
    } else if (orn::resolve_yaml_plain(text).kind != orn::YamlPlainKind::String ||
               orn::is_leading_zero_digits(text)) {
      style = YAML_SINGLE_QUOTED_SCALAR_STYLE;
    }
    scalar(text, style);
  }

  void node(const orn::SettingValue& v) {
    using Kind = orn::SettingValue::Kind;
    std::string text;
    yaml_event_t event;
    switch (v.kind()) {
      case Kind::Null:
        return scalar("null", YAML_PLAIN_SCALAR_STYLE);
      case Kind::Bool:
        return scalar(v.as_bool() ? "true" : "false", YAML_PLAIN_SCALAR_STYLE);
      case Kind::UInt:
        orn::append_uint(text, v.as_uint());
        return scalar(text, YAML_PLAIN_SCALAR_STYLE);
      case Kind::Int:
        orn::append_int(text, v.as_int());
        return scalar(text, YAML_PLAIN_SCALAR_STYLE);
      case Kind::Float:
        orn::append_float(text, v.as_double(), orn::FloatLayout::Yaml);
        return scalar(text, YAML_PLAIN_SCALAR_STYLE);
      case Kind::String:
        return string(v.as_string());
      case Kind::List:
        yaml_sequence_start_event_initialize(&event, nullptr, nullptr, 1, YAML_ANY_SEQUENCE_STYLE);
        send(event);
        for (const orn::SettingValue& item : v.as_list()) node(item);
        yaml_sequence_end_event_initialize(&event);
        send(event);
        return;
      case Kind::Map:
        yaml_mapping_start_event_initialize(&event, nullptr, nullptr, 1, YAML_ANY_MAPPING_STYLE);
        send(event);
        for (const auto& [key, value] : v.as_map()) {
          string(key);
          node(value);
        }
        yaml_mapping_end_event_initialize(&event);
        send(event);
        return;
    }
  }

  yaml_emitter_t emitter_;
  std::string out_;
  bool ok_ = true;
};

}  // namespace orn_test
