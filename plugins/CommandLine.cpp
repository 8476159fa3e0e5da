// Extraction command lines as the program writes them.
#include <algorithm>
#include <optional>

#include "archive/MemberCopyName.h"
#include "plugins/PluginCore.h"

namespace kolbrin::plugin {
namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

// Splits at blanks only: a TAB belongs to the token, since the program keeps the TAB
// it appends to listed ZIP names. A quote opens a run only at the start of a token,
// and only a quote followed by a blank or the end closes it, so names holding quotes
// survive. Backslashes are plain characters (they are folder names' bytes).
class Lexer {
 public:
  explicit Lexer(std::string_view line) : line_(line) {}

  // nullopt at the end of the line.
  std::optional<Token> Next() {
    while (at_ < line_.size() && line_[at_] == ' ') ++at_;
    return TokenHere();
  }

  // The token right after one blank: a second blank there means an empty token, so
  // "-P  -j" gives an empty password.
  std::optional<Token> NextAfterOneBlank() {
    if (at_ < line_.size() && line_[at_] == ' ') ++at_;
    if (at_ >= line_.size() || line_[at_] == ' ') return Token{};
    return TokenHere();
  }

 private:
  std::optional<Token> TokenHere() {
    if (at_ >= line_.size()) return std::nullopt;
    Token token;
    if (line_[at_] == '"') {
      token.quoted = true;
      for (std::size_t i = at_ + 1; i < line_.size(); ++i) {
        if (line_[i] == '"' && (i + 1 == line_.size() || line_[i + 1] == ' ')) {
          token.text = std::string(line_.substr(at_ + 1, i - at_ - 1));
          at_ = i + 1;
          return token;
        }
      }
      // No closing quote: the quote is a plain character of an unquoted token, so a
      // member whose name starts with a quote is still found.
      token.quoted = false;
    }
    const std::size_t end = std::min(line_.find(' ', at_), line_.size());
    token.text = std::string(line_.substr(at_, end - at_));
    at_ = end;
    return token;
  }

  std::string_view line_;
  std::size_t at_ = 0;
};

bool IsSwitch(const Token& token) {
  return !token.quoted && !token.text.empty() && token.text[0] == '-';
}

}  // namespace

bool ParseCommand(Format format, std::string_view line, Command& command) {
  command = Command{};
  Lexer lexer(line);
  std::optional<Token> token = lexer.Next();
  if (format == Format::Lzh) {
    // "e" extracts without the stored folders, "x" with them; -x0 and -x1 decide.
    if (!token || token->quoted) return false;
    if (token->text == "e" || token->text == "E") {
      command.withFolders = false;
    } else if (token->text == "x" || token->text == "X") {
      command.withFolders = true;
    } else {
      return false;
    }
    token = lexer.Next();
  } else {
    command.withFolders = true;
  }

  for (; token && IsSwitch(*token); token = lexer.Next()) {
    const std::string& text = token->text;
    if (format == Format::Lzh) {
      if (text == "-x0") command.withFolders = false;
      if (text == "-x1" || text == "-x") command.withFolders = true;
    } else if (text == "-j") {
      command.withFolders = false;
    } else if (text == "-P") {
      std::optional<Token> password = lexer.NextAfterOneBlank();
      if (!password) return false;
      command.hasPassword = true;
      command.password = password->text;
    }
  }

  if (!token) return false;
  command.archive = token->text;
  token = lexer.Next();
  if (!token) return false;
  command.destination = token->text;
  for (token = lexer.Next(); token; token = lexer.Next()) {
    command.members.push_back(token->text);
  }
  return !command.archive.empty() && !command.destination.empty() && !command.members.empty();
}

std::string ListedName(std::string_view name) {
  if (name.size() <= kLongestListedName) return std::string(name);
  return "\xE2\x80\xA6/" + MemberCopyName(name);
}

bool TokenNamesMember(Format format, std::string_view token, std::string_view name) {
  if (name.size() > kLongestListedName) return TokenNamesMember(format, token, ListedName(name));
  if (token == name) return true;
  if (!TakesZipForm(format)) return false;
  if (token.ends_with("\t*")) return token.substr(0, token.size() - 2) == name;
  if (token.ends_with('\t')) return token.substr(0, token.size() - 1) == name;
  return false;
}

}  // namespace kolbrin::plugin
