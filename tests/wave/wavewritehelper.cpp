// Writes a file with one of the two classes so that a test can run it under
// limits (file size, permissions) that the test process itself must not get.
// Usage: wavewritehelper standard|brinmoor PATH FRAMES
// Exit: 0 written, 1 open failed, 2 writeFrames failed, 3 close failed.
#include "wave/brinmoorwavefile.h"
#include "wave/standardwavefile.h"

#include <QCoreApplication>
#include <QTextStream>

#include <vector>

template<class File>
int writeFile(const QString &path, int frames)
{
    File file;
    QTextStream err(stderr);
    if (!file.open(path, QIODevice::WriteOnly)) {
        err << file.errorString() << '\n';
        return 1;
    }
    std::vector<Frame> block(200, Frame{0.25, -0.25});
    for (int done = 0; done < frames; done += 200) {
        if (!file.writeFrames(block.data(), std::min(200, frames - done))) {
            err << file.errorString() << '\n';
            return 2;
        }
    }
    if (!file.close()) {
        err << file.errorString() << '\n';
        return 3;
    }
    return 0;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 64;
    const int frames = args[3].toInt();
    return args[1] == "brinmoor" ? writeFile<BrinmoorWaveFile>(args[2], frames)
                                 : writeFile<StandardWaveFile>(args[2], frames);
}
