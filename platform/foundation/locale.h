// The user's language and region settings, read from the POSIX locale environment the way the
// platform reads the user's preferences, and replaceable by tests.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fnd {

// The user's preferred languages as BCP 47 tags ("en-GB", "de"), most preferred first, without
// repeats: the entries of $LANGUAGE (a colon-separated list), then the language of the first of
// $LC_ALL, $LC_MESSAGES and $LANG that is set. "C" and "POSIX" name no language. May be empty.
std::vector<std::string> PreferredLanguages();

// The current locale as an ICU id ("en_GB"): the first of $LC_ALL, $LC_CTYPE and $LANG that names
// a language, else "en_US_POSIX".
std::string CurrentLocaleIdentifier();

// Replaces what the two functions answer (nullopt goes back to the environment). For tests.
void SetPreferredLanguagesForTesting(std::optional<std::vector<std::string>> languages);
void SetCurrentLocaleForTesting(std::optional<std::string> identifier);

// A POSIX locale name ("en_GB.UTF-8@euro") as a BCP 47 tag ("en-GB"); "" for "C", "POSIX" or "".
std::string LanguageTagFromPOSIXLocale(std::string_view name);

}  // namespace fnd
