// The argument string of a component line split into the arguments of its
// program: blanks separate words, quotes group.
#include <cctype>
#include <string>
#include <vector>

#include "apps/component.h"
#include "base/utils.h"

std::vector<std::string> Component::splitArguments(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  auto endWord = [&]() {
    const std::string trimmed = Utils::trim(word);
    if (!trimmed.empty()) out.push_back(trimmed);
    word.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      // A quote inside a word ends that word; the quoted text is an
      // argument of its own, even when empty.
      endWord();
      const size_t close_at = text.find(c, i + 1);
      if (close_at == std::string::npos) {
        out.push_back(text.substr(i + 1));
        return out;
      }
      out.push_back(text.substr(i + 1, close_at - i - 1));
      i = close_at;
    } else if (isspace(static_cast<unsigned char>(c))) {
      endWord();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}
