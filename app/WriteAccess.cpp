#include "app/WriteAccess.h"

#include "app/DMdata.h"
#include "app/StartReasons.h"
#include "platform/gui/Application.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

std::string WhyUnchangeable(const std::string& dir, const std::vector<std::string>& tables) {
    std::vector<std::string> refused;  // tables' files that do not open for writing
    for (const std::string& table : tables) {
        for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"}) {
            const TRefusal why = WhyRefused(dir + "/" + table + ext);
            // Its open made the journal where a file can be made: without one the
            // folder refused it. (A table without pictures has no .BLB.)
            if (why == TRefusal::Missing && ext == std::string_view(".JNL"))
                return U8("フォルダ %1 が読み取り専用か、ファイルを作る権限がありません。")
                    .arg(gui::QStr(dir))
                    .toStdString();
            if (why == TRefusal::NoAccess) refused.push_back(table + ext);
        }
    }
    if (refused.empty()) return {};
    const QString first = QString::fromStdString(refused[0]);
    if (refused.size() > 1)
        return U8("フォルダ %1 のファイル（%2 など）が読み取り専用か、書き込む権限がありません。")
            .arg(gui::QStr(dir), first)
            .toStdString();
    const QString path = gui::QStr(dir) + "/" + first;
    const QString named = first.endsWith(".JNL") ? path + U8("（テーブル %1 の変更の記録）").arg(first.chopped(4))
                                                  : path + " ";
    return U8("ファイル %1が読み取り専用か、書き込む権限がありません。").arg(named).toStdString();
}

QString ReadOnlyNotice(const std::string& why) {
    return U8("データベースに書き込めないため、従業員の情報は見ることはできますが、"
              "追加・修正・削除などの変更はできません。\n%1\n"
              "変更するときは、フォルダとファイルの権限を確かめてから、もう一度起動してください。")
        .arg(QString::fromStdString(why));
}

bool RefusedAsReadOnly(const QString& what, QWidget* parent) {
    if (!DMdata || DMdata->ReadOnlyWhy.empty()) return false;
    const QString why = QString::fromStdString(DMdata->ReadOnlyWhy);
    gui::MessageDlg(U8("データベースに書き込めないため、%1できません。\n%2").arg(what, why), gui::mtWarning, gui::mbOK,
                    parent);
    return true;
}

}  // namespace app
