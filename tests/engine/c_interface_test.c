/* Drives the engine from plain C through the chief header alone. */
#include <stdio.h>
#include <string.h>

#include "engine/kestrelfetch.h"

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                                     \
        }                                                                                 \
    } while (0)

int main(void) {
    static TaskParams params;
    static TaskInfo info;
    static TaskInfoEx info_ex;
    static TorrentSummary summary;
    char note[16];
    char external[16];
    int32_t complete = -1;
    int32_t running = -1;
    int32_t results[2];
    KfTaskHandle handles[2];

    CreateEngineLog();
    CHECK(InitEngine(NULL) == KF_OK);
    CHECK(InitEngine("/tmp") == KF_OK);

    memset(&params, 0, sizeof(params));
    params.sources = "http://127.0.0.1:9/a.bin";
    strcpy(params.target_path, "/tmp/kf-c-interface/a.bin");
    strcpy(params.resume_path, "/tmp/kf-c-interface/a.bin.kfinfo");
    params.flags = KF_FLAG_ACCEPTED | KF_FLAG_FULL_PATH;
    CHECK(CreateAndStartTask(&params) == KF_OK);
    CHECK(params.handle != NULL);

    CHECK(CreateAndStartTask(&params) == KF_ERR_DUPLICATE);
    CHECK(CreateAndStartTask(NULL) == KF_ERR_PARAM);

    CHECK(QueryTaskInfo(params.handle, &info) == KF_OK);
    CHECK(info.progress == 0);
    CHECK(IsTaskComplete(params.handle, &complete) == KF_OK && complete == 0);
    CHECK(SetTaskSpeedLimit(params.handle, 2, 100) == KF_ERR_PARAM);
    CHECK(SetTaskConnectionLimits(params.handle, 4, 50) == KF_OK);
    CHECK(QueryTaskInfo(NULL, &info) == KF_ERR_UNKNOWN_TASK);
    CHECK(QueryTaskInfoEx(params.handle, &info_ex) == KF_OK && info_ex.info.progress == 0);
    CHECK(QueryTorrentSummary(params.handle, &summary) == KF_OK && summary.piece_count == 0);
    CHECK(AppendTaskNote(params.handle, "repair round 1") == KF_OK);
    CHECK(ReadTaskNote(params.handle, note, sizeof(note)) == 14 &&
          strcmp(note, "repair round 1") == 0);
    CHECK(SetEngineNoticeCallback(NULL, NULL) == KF_OK);
    CHECK(ReadTaskBitfield(NULL, NULL, 0) == KF_ERR_BITFIELD);

    handles[0] = params.handle;
    handles[1] = (KfTaskHandle)&info;
    CHECK(StopTasks(handles, 2, 0, results) == KF_OK);
    CHECK(results[0] == KF_OK && results[1] == KF_ERR_UNKNOWN_TASK);
    CHECK(IsTaskRunning(params.handle, &running) == KF_OK && running == 0);
    CHECK(IsTaskRunning(params.handle, NULL) == KF_ERR_PARAM);
    CHECK(StartTask(params.handle) == KF_OK);
    CHECK(IsTaskRunning(params.handle, &running) == KF_OK && running == 1);
    CHECK(SetTaskSeedingHours(params.handle, 3) == KF_OK);
    CHECK(RestartTask(params.handle) == KF_OK);
    CHECK(StopTask(params.handle, 1) == KF_OK);

    CHECK(ParseInt64(" 0x1F") == 31);
    CHECK(ParseInt32("-42abc") == -42);
    CHECK(GetDiskFreeBytes("relative/path") == 0);
    CHECK(GetDiskFreeBytes("/") > 0);
    CHECK(GetEngineVersion() != NULL);
    CHECK(SetRendezvousServer(NULL, 0) == KF_OK);
    CHECK(SetRendezvousServer("127.0.0.1", 70000) == KF_ERR_PARAM);
    CHECK(GetEngineExternalAddress(external, sizeof(external)) == 0 && external[0] == '\0');

    ReleaseEngineLog();
    CHECK(CleanupEngine() == KF_OK);
    CHECK(QueryTaskInfo(params.handle, &info) == KF_ERR_UNKNOWN_TASK);
    printf("C interface: all checks passed\n");
    return 0;
}
