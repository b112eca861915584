#include "app/FileDrop.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QSet>
#include <cstdlib>

#include "app/Main.h"
#include "app/SingleInstance.h"
#include "platform/Messages.h"

QList<QByteArray> LocalPathsOfUriList(const QByteArray& uriList)
{
    QList<QByteArray> paths;
    for (QByteArray line : uriList.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#') || !line.toLower().startsWith("file:"))
            continue;
        QByteArray rest = line.mid(5);
        if (rest.startsWith("//")) {
            const qsizetype slash = rest.indexOf('/', 2);
            const QByteArray host = rest.mid(2, slash < 0 ? -1 : slash - 2);
            if (slash < 0 || !(host.isEmpty() || host.toLower() == "localhost"))
                continue;
            rest = rest.mid(slash);
        }
        if (!rest.startsWith('/'))
            continue;
        const QByteArray path = QByteArray::fromPercentEncoding(rest);
        if (!path.contains('\0'))
            paths << path;
    }
    return paths;
}

namespace {

// Sits on the list's viewport, where the drag events arrive.
class FileDropFilter : public QObject {
public:
    FileDropFilter(TForm1& form, QObject* parent) : QObject(parent), form_(form) { }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (HasPaths(drag->mimeData())) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QList<QByteArray> paths = Paths(drop->mimeData());
            if (paths.isEmpty()) {
                drop->ignore();
                return true;
            }
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            (void)form_.AddFiles(paths);
            return true;
        }
        default: return QObject::eventFilter(watched, event);
        }
    }

private:
    static QList<QByteArray> Paths(const QMimeData* data)
    {
        if (data == nullptr || !data->hasFormat(QStringLiteral("text/uri-list")))
            return {};
        return LocalPathsOfUriList(data->data(QStringLiteral("text/uri-list")));
    }
    static bool HasPaths(const QMimeData* data) { return !Paths(data).isEmpty(); }

    TForm1& form_;
};

} // namespace

void AcceptFileDrops(TForm1& form)
{
    form.fileList->setAcceptDrops(true);
    form.fileList->viewport()->setAcceptDrops(true);
    form.fileList->viewport()->installEventFilter(new FileDropFilter(form, form.fileList));
}

namespace {

// What makes two paths the same entry of the list: the folder they name
// the entry in, as the system resolves it ("..", links to folders), and the
// entry's own name, which is also its name on the server (so a link to a
// listed file, under a name of its own, is an entry of its own).
QByteArray ListedKey(const QByteArray& absolute)
{
    const qsizetype slash = absolute.lastIndexOf('/');
    const QByteArray folder = slash <= 0 ? QByteArray("/") : absolute.left(slash);
    char* resolved = ::realpath(folder.constData(), nullptr);
    if (resolved == nullptr)
        return absolute;
    QByteArray key(resolved);
    std::free(resolved);
    if (!key.endsWith('/'))
        key += '/';
    return key + absolute.mid(slash + 1);
}

} // namespace

int TForm1::AddFiles(const QList<QByteArray>& paths)
{
    // Listed already: the command line's relative paths resolve against
    // this process's folder.
    const QByteArray here = WorkingDirectoryBytes();
    QSet<QByteArray> listed;
    for (int i = 1; i <= ParamCount(); ++i)
        listed.insert(ListedKey(AbsolutePath(ParamBytes(i), here)));
    const int first = ParamCount() + 1;
    for (const QByteArray& path : paths) {
        const QByteArray absolute = AbsolutePath(path, here);
        if (absolute.isEmpty() || listed.contains(ListedKey(absolute)))
            continue;
        listed.insert(ListedKey(absolute));
        args_ << absolute;
    }
    if (ParamCount() < first)
        return 0;
    // The rows' check boxes are set while they are made: not the user's
    // changes to the ascii list.
    const bool ready = ListReady;
    ListReady = false;
    AddFileRows(first);
    ListReady = ready;
    return ParamCount() - first + 1;
}

void TForm1::ComeToFront()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

bool ReceiveHandOver(TForm1& form, const QByteArray& workingDir, const QList<QByteArray>& paths)
{
    if (IsTerminating())
        return false;
    QList<QByteArray> absolute;
    for (const QByteArray& path : paths)
        absolute << AbsolutePath(path, workingDir);
    (void)form.AddFiles(absolute);
    form.ComeToFront();
    return true;
}
