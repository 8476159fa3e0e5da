// Small realistic files in the encodings automatic detection must tell apart: Japanese
// (clean, damaged, short), Western and other East Asian text, made with ICU's
// converters. Shared by the decision tests and the kolbrin-grep tests.
#pragma once

#include <string>
#include <vector>

#include "search/TextEncoding.h"
#include "tests/TestSupport.h"

namespace kolbrin::test {

struct EncodingSample {
  const char* label;
  std::string bytes;
  TextEncoding decided;  // what automatic detection takes the file as
  std::string query;     // a UTF-8 search string found on `line`
  int line;
  bool japanese;  // decoded: Japanese text, or UTF-16 (else it must stay raw)
};

inline std::vector<EncodingSample> EncodingSamples() {
  const std::string tutor =
      "このチュートリアルは、Vim エディタを使いこなすために必要なコマンドを説明します。\n"
      "カーソルを移動するには、h、j、k、l キーを押してください。\n"
      "ファイルを保存して終了するには、:wq と入力します。\n"
      "編集を取り消すには u を押します。検索には / を使います。\n";
  const std::string places = "長野県諏訪郡原村\n東京都千代田区\n";
  const std::string sjis = Encode(tutor, "windows-31j");
  const std::string euc = Encode(tutor, "EUC-JP");
  const std::string sjisLast = Encode("最後の行です。", "windows-31j");
  const std::string eucLast = Encode("最後の行です。", "EUC-JP");
  // A mail in ISO-2022-JP (7-bit: each line's Japanese text between ESC $ B and ESC ( B).
  const std::string mail = Encode(
      "田中様\n\nいつもお世話になっております。\n来週の会議の資料をお送りします。\n"
      "ご確認のほど、よろしくお願いいたします。\n",
      "ISO-2022-JP");
  // The signature's hiragana cut after the first of its two bytes.
  const std::string signature = Encode("山本より", "ISO-2022-JP");
  const std::string cutSignature = signature.substr(0, signature.find("\x1B(B") - 1);
  // The mail with the eighth bit of every third byte set, as a broken gateway leaves it.
  std::string mangled = mail;
  for (std::size_t i = 5; i < mangled.size(); i += 3) {
    if (mangled[i] != '\n' && mangled[i] != '\x1B')
      mangled[i] = static_cast<char>(mangled[i] | 0x80);
  }
  return {
      {"euc-jp, one short kanji-only line", Encode("原村\n", "EUC-JP"), TextEncoding::EucJp, "原村",
       1, true},
      {"euc-jp, kanji-only place names", Encode(places, "EUC-JP"), TextEncoding::EucJp, "千代田", 2,
       true},
      {"cp932, kanji-only place names", Encode(places, "windows-31j"), TextEncoding::Cp932,
       "千代田", 2, true},
      {"cp932 tutor", sjis, TextEncoding::Cp932, "保存", 3, true},
      {"euc-jp tutor", euc, TextEncoding::EucJp, "保存", 3, true},
      {"cp932 tutor with a stray 0x80", sjis.substr(0, 40) + "\x80" + sjis.substr(40),
       TextEncoding::Cp932, "取り消す", 4, true},
      {"cp932 tutor with a utf-8 line", sjis + "ファイルの検索\n" + sjis, TextEncoding::Cp932,
       "取り消す", 9, true},
      {"euc-jp tutor with a utf-8 line", euc + "ファイルの検索\n" + euc + euc, TextEncoding::EucJp,
       "取り消す", 9, true},
      {"cp932 tutor cut in its last character", sjis + sjisLast.substr(0, sjisLast.size() - 1),
       TextEncoding::Cp932, "最後の行です", 5, true},
      {"euc-jp tutor cut in its last character", euc + eucLast.substr(0, eucLast.size() - 1),
       TextEncoding::EucJp, "最後の行です", 5, true},
      {"iso-2022-jp mail cut in its last character", mail + cutSignature, TextEncoding::Iso2022Jp,
       "山本よ", 6, true},
      {"iso-2022-jp mail with a stray 0x80", mail.substr(0, 31) + "\x80" + mail.substr(31),
       TextEncoding::Iso2022Jp, "よろしく", 5, true},
      {"iso-2022-jp mail with a utf-8 name", mail + "J\u00fcrgen\n", TextEncoding::Iso2022Jp,
       "会議の資料", 4, true},
      {"iso-2022-jp mail with most bytes mangled", "Subject: meeting\n" + mangled,
       TextEncoding::Bytes, "meeting", 1, false},
      {"utf-16le without a byte order mark, japanese", Encode(tutor, "UTF-16LE"),
       TextEncoding::Utf16Le, "保存", 3, true},
      {"utf-16be without a byte order mark, japanese", Encode(tutor, "UTF-16BE"),
       TextEncoding::Utf16Be, "保存", 3, true},
      {"utf-16le without a byte order mark, english",
       Encode("Windows PowerShell\r\nCopyright (C) Microsoft Corporation.\r\n"
              "Caf\u00e9 au lait, na\u00efve r\u00e9sum\u00e9\r\n",
              "UTF-16LE"),
       TextEncoding::Utf16Le, "résumé", 3, true},
      {"utf-16be without a byte order mark, english",
       Encode("Windows PowerShell\nCopyright (C) Microsoft Corporation.\n", "UTF-16BE"),
       TextEncoding::Utf16Be, "Microsoft", 2, true},
      {"latin-1 french",
       Encode("Écrit par François Pinard. Ce logiciel est libre ; vous pouvez le "
              "redistribuer.\nLes données sont déjà là, à côté du répertoire.\n",
              "ISO-8859-1"),
       TextEncoding::Bytes, "ois", 1, false},
      {"windows-1252 german",
       Encode("Größere Änderungen für die nächste Version – siehe „README“.\n"
              "Müller’s Übersetzung ist fertig.\n",
              "windows-1252"),
       TextEncoding::Bytes, "ist", 2, false},
      {"utf-8 with one windows-1252 quote",
       "Copyright \xC2\xA9 2001 J\xC3\xBCrgen Weigert\nit\x92s the manual of the program\n",
       TextEncoding::Bytes, "Jürgen", 1, false},
      {"euc-kr korean",
       Encode("대한민국은 민주공화국이다. 모든 국민은 법 앞에 평등하다.\n"
              "서울은 한국의 수도이며 Seoul 이라고 부른다.\n",
              "EUC-KR"),
       TextEncoding::Bytes, "Seoul", 2, false},
      {"gbk chinese",
       Encode("中华人民共和国是工人阶级领导的，以工农联盟为基础的人民民主专政的社会主义国家。\n"
              "北京是中国的首都，英文叫 Beijing，人口很多。\n",
              "GBK"),
       TextEncoding::Bytes, "Beijing", 2, false},
      {"big5 chinese",
       Encode("中華民國是一個民主共和國，台北是最大的城市。\n"
              "我們今天去圖書館看書，英文叫 library。\n",
              "Big5"),
       TextEncoding::Bytes, "library", 2, false},
  };
}

}  // namespace kolbrin::test
