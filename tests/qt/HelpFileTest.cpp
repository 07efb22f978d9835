// The help file format and the help file that ships with the program.
#include <QTest>
#include <regex>
#include <set>

#include "ui/qt/HelpFile.h"

using namespace qtx;

class HelpFileTest : public QObject {
    Q_OBJECT
  private slots:
    void topicsCommentsAndBadNumbers();
    void htmlLinksListsAndEscaping();
    void unreadableFileIsReported();
    void shippedFileHasContentsAndNoDeadLinks();
};

void HelpFileTest::topicsCommentsAndBadNumbers() {
    const HelpFile f = HelpFile::Parse(
        "text before any topic\r\n"
        "@10 Contents\r\n"
        "; a comment\r\n"
        "line one  \r\n"
        "@x not a topic\r\n"
        "@20Glued\n"
        "@-3 negative\n"
        "@20 Second\n"
        "body\n"
        "@10 Contents again\n");
    QCOMPARE(f.Topics().size(), std::size_t(2));
    // A repeated number replaces the earlier topic.
    QCOMPARE(f.Find(10)->Title, std::string("Contents again"));
    QVERIFY(f.Find(10)->Lines.empty());
    const HelpTopic* t20 = f.Find(20);
    QVERIFY(t20);
    QCOMPARE(t20->Title, std::string("Second"));
    QCOMPARE(t20->Lines, std::vector<std::string>({"body"}));
    QVERIFY(!f.Find(30));

    const HelpFile g = HelpFile::Parse("@10 C\nline one  \n@x not a topic\n@20Glued\n@-3 n\n");
    QCOMPARE(g.Find(10)->Lines,
             std::vector<std::string>({"line one", "@x not a topic", "@20Glued", "@-3 n"}));
}

void HelpFileTest::htmlLinksListsAndEscaping() {
    const HelpFile f = HelpFile::Parse(
        "@10 A & B\n"
        "First <b>line\n"
        "continues.\n"
        "\n"
        "- see [[20]]\n"
        "  and more\n"
        "- see [[20|the window]] or [[99]] or [[x]] or [[20\n"
        "After.\n"
        "@20 The window\n");
    const std::string html = f.TopicHtml(10);
    QCOMPARE(html, std::string("<h2>A &amp; B</h2>\n"
                               "<p>First &lt;b&gt;line continues.</p>\n"
                               "<ul>\n"
                               "<li>see <a href=\"topic:20\">The window</a> and more</li>\n"
                               "<li>see <a href=\"topic:20\">the window</a> or <a "
                               "href=\"topic:99\">topic 99</a> or [[x]] or [[20</li>\n"
                               "</ul>\n"
                               "<p>After.</p>\n"));
    QVERIFY(f.TopicHtml(30).find("no help topic 30") != std::string::npos);
}

void HelpFileTest::unreadableFileIsReported() {
    QVERIFY(!HelpFile::Load("/nonexistent/Runvane.HLP").has_value());
    QVERIFY(!HelpFile::Load("/").has_value());
}

void HelpFileTest::shippedFileHasContentsAndNoDeadLinks() {
    const auto f = HelpFile::Load(QTX_SOURCE_DIR "/help/Runvane.HLP");
    QVERIFY(f.has_value());
    QVERIFY(f->Find(10));
    QCOMPARE(f->Find(10)->Title, std::string("Contents"));
    std::set<int> linked;
    const std::regex link(R"(\[\[(\d+))");
    for (const auto& [n, topic] : f->Topics()) {
        QVERIFY2(!topic.Title.empty(), std::to_string(n).c_str());
        for (const std::string& line : topic.Lines) {
            for (std::sregex_iterator it(line.begin(), line.end(), link), end; it != end; ++it) {
                const int target = std::stoi((*it)[1]);
                QVERIFY2(f->Find(target), ("dead link to " + std::to_string(target)).c_str());
                linked.insert(target);
            }
        }
    }
    // Every topic can be reached from somewhere.
    for (const auto& [n, topic] : f->Topics())
        QVERIFY2(n == 10 || linked.count(n), ("unreachable topic " + std::to_string(n)).c_str());
}

QTEST_APPLESS_MAIN(HelpFileTest)
#include "HelpFileTest.moc"
