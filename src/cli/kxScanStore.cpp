#include "kxScanStore.h"

#include "store/kxStoreReader.h"

#include <QSysInfo>

TkxStoreRun StoreRunOf(const QString& scan, const std::optional<TkxShard>& shard,
                       const TkxParams& params, const TkxTargetList& targets) {
    TkxStoreRun run;
    run.Scan = scan;
    run.Shard = shard.value_or(TkxShard{});
    run.Host = QSysInfo::machineHostName();
    run.Params = params;
    QStringList lines;
    for (const TkxTarget& t : targets)
        lines << t.DisplayName() + u'=' + t.RangeText();
    run.Targets = lines.join(u'\n');
    return run;
}

bool IsScanName(const QString& name) {
    if (name.trimmed().isEmpty())
        return false;
    return std::none_of(name.begin(), name.end(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.isSurrogate() || c.isNonCharacter();
    });
}

int ReadScanFromStore(const TkxStoreUrl& url, const QString& scan, TkxProjectDoc& doc,
                      QTextStream& err) {
    const TkxScanMerge merge = ReadStoredScan(url, scan, doc);
    err << "Scan '" << scan << "' in " << merge.Shards
        << (merge.Shards == 1 ? " shard:\n" : " shards:\n");
    size_t used = 0;
    for (quint32 s = 1; s <= merge.Shards; ++s) {
        err << "  shard " << s << '/' << merge.Shards << ": ";
        if (used < merge.Used.size() && merge.Used[used].Shard == s) {
            const TkxStoredRun& r = merge.Used[used++];
            err << "run " << r.Id << " on " << r.Host << ", started " << r.Started;
            if (r.IsFinished())
                err << ", finished " << r.Ended;
            else
                err << ", UNFINISHED (" << r.State
                    << "): what it had not explored yet is pending, for --continue or "
                       "Continue in the window, or run this shard again";
            if (r.FailedTasks > 0)
                err << "; failed tasks " << r.FailedTasks;
            err << "\n";
        } else {
            err << "NO RUN in the store: its addresses are missing from the project\n";
        }
    }
    if (merge.LeftOut > 0)
        err << "  " << merge.LeftOut
            << " earlier run(s) of the scan cut into another number of shards left out\n";
    if (merge.Skipped > 0)
        err << "  " << merge.Skipped
            << " stored node(s) left out: their parent is not in the store, or they lie too "
               "deep\n";
    err << Qt::flush;
    if (!merge.Complete())
        return 1;
    return merge.FailedTasks() > 0 ? 3 : 0;
}
