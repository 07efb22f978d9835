#pragma once
// The help file: plain text in numbered topics.
//
//   ; a comment line
//   @10 Contents            starts topic 10 with its title
//   A paragraph runs until a blank line.
//   - a list item
//   See [[20]] or [[30|the window]].   links to topics (shown by title or by the given text)
//
// Topic numbers are the context numbers the program asks for.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qtx {

struct HelpTopic {
    int Number = 0;
    std::string Title;
    std::vector<std::string> Lines;  // the body as written, comment lines removed
};

class HelpFile {
  public:
    // Reads the file; nullopt when it cannot be read. A topic line with a bad number is kept as
    // body text of the topic before it.
    static std::optional<HelpFile> Load(const std::string& path);
    static HelpFile Parse(const std::string& text);

    const HelpTopic* Find(int number) const;
    const std::map<int, HelpTopic>& Topics() const { return topics_; }

    // The topic as an HTML fragment: title, paragraphs, lists, and links "topic:N".
    std::string TopicHtml(int number) const;

  private:
    std::map<int, HelpTopic> topics_;
};

std::string HtmlEscape(const std::string& text);

}  // namespace qtx
