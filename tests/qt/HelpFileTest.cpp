// The help file format, and the help file that ships with the program.
#include <QTest>
#include <regex>
#include <set>

#include "qt/HelpFile.h"

using namespace qtx;

class HelpFileTest : public QObject {
    Q_OBJECT
  private slots:
    void topicsLinksAndEscaping();
    void shippedFileHasContentsAndNoDeadLinks();
};

void HelpFileTest::topicsLinksAndEscaping() {
    const HelpFile f = HelpFile::Parse(
        "before any topic\r\n@10 Old\r\n@10 A & B\r\n; comment\r\n"
        "First <b>line\n@x not a topic\n\n"
        "- see [[20]]\n  and more\n- [[20|the window]] or [[99]] or [[x]] or [[20\n"
        "@20 The window\n");
    QCOMPARE(f.Topics().size(), std::size_t(2));  // a repeated number replaces the topic
    QCOMPARE(f.TopicHtml(10),
             std::string("<h2>A &amp; B</h2>\n"
                         "<p>First &lt;b&gt;line @x not a topic</p>\n"
                         "<ul>\n"
                         "<li>see <a href=\"topic:20\">The window</a> and more</li>\n"
                         "<li><a href=\"topic:20\">the window</a> or <a "
                         "href=\"topic:99\">topic 99</a> or [[x]] or [[20</li>\n"
                         "</ul>\n"));
    QVERIFY(f.TopicHtml(30).find("no help topic 30") != std::string::npos);
    QVERIFY(!HelpFile::Load("/nonexistent/Runvane.HLP").has_value());
    QVERIFY(!HelpFile::Load("/").has_value());  // a folder is not a help file
}

void HelpFileTest::shippedFileHasContentsAndNoDeadLinks() {
    const auto f = HelpFile::Load(QTX_SOURCE_DIR "/help/Runvane.HLP");
    QVERIFY(f.has_value());
    QCOMPARE(f->Find(10)->Title, std::string("Contents"));
    std::set<int> linked;
    const std::regex link(R"(\[\[(\d+))");
    for (const auto& [n, topic] : f->Topics())
        for (const std::string& line : topic.Lines)
            for (std::sregex_iterator it(line.begin(), line.end(), link), end; it != end; ++it) {
                const int target = std::stoi((*it)[1]);
                QVERIFY2(f->Find(target), ("dead link to " + std::to_string(target)).c_str());
                linked.insert(target);
            }
    for (const auto& [n, topic] : f->Topics())
        QVERIFY2(n == 10 || linked.count(n), ("unreachable topic " + std::to_string(n)).c_str());
}

QTEST_APPLESS_MAIN(HelpFileTest)
#include "HelpFileTest.moc"
