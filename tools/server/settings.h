// The settings an operator gives on the command line or in a configuration file (TOML): one
// table of descriptors, read by both, so that an option added to the table is a flag and a
// configuration key at once, and the two can never drift apart.
#pragma once

#include "serve.h"

#include <span>
#include <string>
#include <variant>

namespace tool {

// Everything a configuration file sets: the options every command takes, and serve's.
struct Settings {
  GlobalOptions global;
  ServeOptions serve;
};

using SettingField = std::variant<int*, long long*, double*, bool*, std::string*>;

enum class SettingCheck { any, positive, non_negative, durability };

struct SettingSpec {
  const char* flag;                     // "--tls-cert"
  const char* key;                      // "tls.cert": the table and key in the configuration
  SettingField (*field)(Settings& s);   // where the value lives
  const char* help;
  SettingCheck check = SettingCheck::any;
  bool global = false;                  // taken by every command, not only by serve
  const char* env = nullptr;            // environment variable the flag falls back to
};

// Every setting, in the order the help and the effective configuration list them.
std::span<const SettingSpec> setting_specs();

// "" when `spec`'s value in `s` passes its check; else what it must be ("must be positive").
std::string setting_check_failure(const SettingSpec& spec, Settings& s);

// Copies the value `spec` names from `from` to `to`.
void copy_setting(const SettingSpec& spec, Settings& from, Settings& to);

// Reads the configuration file at `path` over `s` (which holds the defaults). False, with
// `error` naming the file, the line and the key, when the file does not parse, a key is
// unknown, a value has the wrong type or fails its check; `s` is then unchanged.
bool load_settings_file(const std::string& path, Settings& s, std::string& error);
bool load_settings_text(std::string_view text, const std::string& source, Settings& s,
                        std::string& error);

// The effective configuration, as a configuration file that sets every key.
std::string render_settings(Settings& s);

// `tarnwick-registry config check FILE`: validates the file as serve would and prints the
// effective configuration.
int run_config_check(const std::string& file);

}  // namespace tool
