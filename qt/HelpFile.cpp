#include "qt/HelpFile.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qtx {

namespace {

std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    return s;
}

// "@N Title" -> N and Title.
bool ParseTopicLine(const std::string& line, int& number, std::string& title) {
    if (line.size() < 2 || line[0] != '@')
        return false;
    const char* first = line.data() + 1;
    const char* last = line.data() + line.size();
    auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || end == first || number < 0)
        return false;
    if (end != last && *end != ' ' && *end != '\t')
        return false;
    std::string rest(end, last);
    const auto start = rest.find_first_not_of(" \t");
    title = start == std::string::npos ? std::string() : rest.substr(start);
    return true;
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::optional<HelpFile> HelpFile::Load(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return Parse(text.str());
}

HelpFile HelpFile::Parse(const std::string& text) {
    HelpFile file;
    HelpTopic* current = nullptr;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = TrimRight(line);
        if (!line.empty() && line[0] == ';')
            continue;
        int number = 0;
        std::string title;
        if (ParseTopicLine(line, number, title)) {
            // A repeated number starts that topic afresh: the later text wins.
            HelpTopic& t = file.topics_[number];
            t = HelpTopic{number, title, {}};
            current = &t;
            continue;
        }
        if (current)
            current->Lines.push_back(line);
    }
    return file;
}

const HelpTopic* HelpFile::Find(int number) const {
    auto it = topics_.find(number);
    return it == topics_.end() ? nullptr : &it->second;
}

std::string HelpFile::TopicHtml(int number) const {
    const HelpTopic* topic = Find(number);
    if (!topic)
        return "<p>There is no help topic " + std::to_string(number) + " in this help file.</p>";

    // Inline links: [[N]] and [[N|text]]; anything that is not a link stays as written.
    auto inlineHtml = [this](const std::string& s) {
        std::string out;
        std::size_t pos = 0;
        while (pos < s.size()) {
            const auto open = s.find("[[", pos);
            const auto close = open == std::string::npos ? open : s.find("]]", open + 2);
            if (open == std::string::npos || close == std::string::npos) {
                out += HtmlEscape(s.substr(pos));
                break;
            }
            out += HtmlEscape(s.substr(pos, open - pos));
            const std::string inner = s.substr(open + 2, close - open - 2);
            const auto bar = inner.find('|');
            const std::string num = inner.substr(0, bar);
            int target = 0;
            auto [end, ec] = std::from_chars(num.data(), num.data() + num.size(), target);
            if (ec != std::errc() || end != num.data() + num.size() || num.empty()) {
                out += HtmlEscape(s.substr(open, close + 2 - open));
            } else {
                std::string label =
                    bar == std::string::npos ? std::string() : inner.substr(bar + 1);
                if (label.empty()) {
                    const HelpTopic* t = Find(target);
                    label = t ? t->Title : "topic " + num;
                }
                out += "<a href=\"topic:" + std::to_string(target) + "\">" + HtmlEscape(label) +
                       "</a>";
            }
            pos = close + 2;
        }
        return out;
    };

    std::string html = "<h2>" + HtmlEscape(topic->Title) + "</h2>\n";
    std::string para;
    bool inList = false;
    auto flushPara = [&] {
        if (!para.empty())
            html += "<p>" + inlineHtml(para) + "</p>\n";
        para.clear();
    };
    auto closeList = [&] {
        if (inList)
            html += "</ul>\n";
        inList = false;
    };
    for (const std::string& line : topic->Lines) {
        if (line.empty()) {
            flushPara();
            closeList();
        } else if (line.rfind("- ", 0) == 0) {
            flushPara();
            if (!inList)
                html += "<ul>\n";
            inList = true;
            html += "<li>" + inlineHtml(line.substr(2)) + "</li>\n";
        } else if (inList && (line[0] == ' ' || line[0] == '\t')) {
            // A continuation of the list item above.
            html.insert(html.size() - 6,
                        " " + inlineHtml(line.substr(line.find_first_not_of(" \t"))));
        } else {
            closeList();
            para += para.empty() ? line : " " + line;
        }
    }
    flushPara();
    closeList();
    return html;
}

}  // namespace qtx
