// The result tree's model on its own: stable indexes under Qt's model tester,
// invalid bytes shown and copied.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>

#include "app/ResultTreeModel.h"
#include "search/TreePrinter.h"

namespace kolbrin {
namespace {

using Texts = std::vector<std::string>;

// Collects what Qt's model tester reports while it is alive.
class ModelTesterFailures {
 public:
  ModelTesterFailures() { previous_ = qInstallMessageHandler(&Record); }
  ~ModelTesterFailures() { qInstallMessageHandler(previous_); }
  ModelTesterFailures(const ModelTesterFailures&) = delete;
  ModelTesterFailures& operator=(const ModelTesterFailures&) = delete;
  static Texts& Recorded() {
    static Texts recorded;
    return recorded;
  }

 private:
  static void Record(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (context.category && std::string_view(context.category) == "qt.modeltest") {
      Recorded().push_back(message.toStdString());
    }
  }
  QtMessageHandler previous_ = nullptr;
};

TextList Hits(std::initializer_list<std::string_view> texts) { return TextList(texts); }

TEST(ResultTreeModel, HitIndexKeepsItsFileWhenEarlierFileNodesAreRemoved) {
  ResultTreeModel model;
  ModelTesterFailures failures;
  ModelTesterFailures::Recorded().clear();
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);

  model.AddFileNode("/a", {});
  model.AddFileNodes({FileNode{"/b", Hits({"LINE[0000000001]:b1", "LINE[0000000002]:b2"})},
                      FileNode{"/c", {}}, FileNode{"/d", Hits({"LINE[0000000003]:d1"})},
                      FileNode{"/e", Hits({"LINE[0000000004]:e1"})}});
  const QPersistentModelIndex hitOfD = model.index(0, 0, model.index(3, 0));
  const QPersistentModelIndex hitOfB = model.index(1, 0, model.index(1, 0));

  model.RemoveFileNode(2);  // /c, between the two hits' files
  ASSERT_TRUE(hitOfD.isValid());
  ASSERT_EQ(model.TextOf(hitOfD), "LINE[0000000003]:d1");
  model.RemoveFileNodes(0, 1);  // /a, before both
  ASSERT_TRUE(hitOfD.isValid());
  ASSERT_TRUE(hitOfB.isValid());
  EXPECT_EQ(model.TextOf(hitOfD), "LINE[0000000003]:d1");
  EXPECT_EQ(model.TextOf(model.FileNodeOf(hitOfD)), "/d");
  EXPECT_EQ(hitOfD.parent().row(), 1);
  EXPECT_EQ(model.TextOf(hitOfB), "LINE[0000000002]:b2");
  EXPECT_EQ(model.TextOf(model.FileNodeOf(hitOfB)), "/b");

  model.RemoveFileNode(0);  // /b, the hit's own file: its index goes with it
  EXPECT_FALSE(hitOfB.isValid());
  EXPECT_EQ(model.TextOf(hitOfD), "LINE[0000000003]:d1");
  model.Clear();
  EXPECT_FALSE(hitOfD.isValid());
  model.AddFileNode("/f", Hits({"LINE[0000000005]:f1"}));
  EXPECT_EQ(ModelTesterFailures::Recorded(), Texts{});
}

// Bytes that are not UTF-8 show as "\xHH", in the tree and in its text form alike;
// well-formed text, a literal backslash included, as it stands.
TEST(ResultTreeModel, InvalidBytesShowAndCopyAsHexEscapesValidTextAsItIs) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"ascii", "LINE[0000000001]:key", "LINE[0000000001]:key"},
      {"backslash", "LINE[0000000002]:a\\x8C\\b", "LINE[0000000002]:a\\x8C\\b"},
      {"japanese", "LINE[0000000003]:検索ｶﾀｶﾅ", "LINE[0000000003]:検索ｶﾀｶﾅ"},
      {"nul", std::string("BIN[00000010]:\0k", 16), std::string("BIN[00000010]:\0k", 16)},
      {"shift_jis", "/tmp/\x8C\x9F\x8D\xF5.txt", "/tmp/\\x8C\\x9F\\x8D\\xF5.txt"},
      {"cut_character", "LINE[0000000004]:\xE6\xA4", "LINE[0000000004]:\\xE6\\xA4"},
      {"cut_then_ascii", "LINE[0000000005]:\xE6\xA4key", "LINE[0000000005]:\\xE6\\xA4key"},
      {"surrogate", "BIN[00000020]:\xED\xA0\x80", "BIN[00000020]:\\xED\\xA0\\x80"},
      {"overlong", "BIN[00000030]:\xC0\xAF", "BIN[00000030]:\\xC0\\xAF"},
      {"past_ascii_run", "LINE[0000000006]:12345678\xFF", "LINE[0000000006]:12345678\\xFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResultTreeModel model;
    model.AddFileNode(c.bytes, Hits({c.bytes}));
    const QModelIndex file = model.index(0, 0);
    EXPECT_EQ(model.data(file, Qt::DisplayRole).toString().toStdString(), c.shown);
    EXPECT_EQ(model.data(model.index(0, 0, file), Qt::DisplayRole).toString().toStdString(),
              c.shown);
    EXPECT_EQ(TreeText(model.Files(), [](std::size_t) { return true; }),
              "-" + c.shown + "\n\t" + c.shown + "\n");
  }
}

// The tree's width comes from these counts: a short text of invalid bytes, each
// shown as four characters, can be the widest.
TEST(ResultTreeModel, WidestColumnsCountInvalidBytesAsTheirHexEscapes) {
  ResultTreeModel model;
  model.AddFileNode("/a/long-name.txt", Hits({"LINE[0000000001]:0123456789"}));
  model.AddFileNode("/\x8C", Hits({"BIN[00000010]:\x8C\x9F\x8D\xF5\xFF\xFF\xFF"}));
  EXPECT_EQ(model.WidestFileColumns(), 16);
  EXPECT_EQ(model.WidestHitColumns(), 14 + 7 * 4);
  model.Clear();
  model.AddFileNode("/検索", Hits({"LINE[0000000001]:ｶﾀｶﾅ"}));
  EXPECT_EQ(model.WidestFileColumns(), 1 + 2 * 2);
  EXPECT_EQ(model.WidestHitColumns(), 17 + 4);
}

}  // namespace
}  // namespace kolbrin
