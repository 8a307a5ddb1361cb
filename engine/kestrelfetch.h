/* Kestrelfetch engine: the flat call interface.
 *
 * Every call is a plain function with C linkage that answers a result code and never lets an
 * exception escape. A task is created from a TaskParams record and is afterwards addressed by the
 * opaque handle written into that record. Calls may come from any thread; the engine serialises
 * them. The application polls QueryTaskInfo and IsTaskComplete; a program that wants to tell its
 * user what happens may also take the engine's notices (SetEngineNoticeCallback).
 *
 * Link with libkfengine.a and the libraries listed by `pkg-config --libs --static kfengine`.
 */
#ifndef KESTRELFETCH_H
#define KESTRELFETCH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Engine result codes. */
#define KF_OK 0
#define KF_ERR_BITFIELD (-1)       /* bitfield calls: unknown handle or exception */
#define KF_ERR_PARAM (-101)        /* null parameter record or invalid direction */
#define KF_ERR_SOCKETS (-102)      /* the socket layer could not be started */
#define KF_ERR_DUPLICATE (-105)    /* the new task duplicates a live task */
#define KF_ERR_UNKNOWN_TASK (-106) /* the handle is not a live task */
#define KF_ERR_INTERNAL (-107)     /* the task code failed, or its thread could not start or stop */
#define KF_ERR_NO_MEMORY (-109)    /* the task object could not be allocated */

/* Task status codes carried in TaskInfo.status. */
#define KF_STATUS_NONE 0
#define KF_STATUS_COMPLETE 20206
#define KF_STATUS_NO_METADATA 20209 /* no piece map within the metadata time limit */
#define KF_STATUS_DISK_FULL 20210
#define KF_STATUS_TORRENT_UNREADABLE 20211
#define KF_STATUS_NO_SOURCE 20214
#define KF_STATUS_WRITE_FAILED 20215
#define KF_STATUS_UNRESOLVABLE 20216
/* Another task, here or in another process, downloads into the same resume file: this task
 * touched neither the resume file nor the target and ended at once. */
#define KF_STATUS_IN_USE 20217

/* TaskParams.flags bits. */
#define KF_FLAG_FULL_PATH 0x2u     /* target path names the file itself */
#define KF_FLAG_QUICK_CHECK 0x20u  /* start with the quick check instead of a full check */
#define KF_FLAG_BT 0x10000u        /* first source line is the torrent location */
#define KF_FLAG_ACCEPTED 0x100000u /* always set by the application; no effect */
#define KF_FLAG_P2SP 0x1000000u    /* torrent location names the swarm; sources add servers */

#define KF_TEXT_MAX 4096

typedef void* KfTaskHandle;

/* Task parameters, zeroed and filled by the caller. */
typedef struct TaskParams {
    char torrent_location[KF_TEXT_MAX]; /* "file://" + path of a .torrent (P2SP tasks) */
    const char* sources;                /* one source address per line (CR, LF or CR LF) */
    char target_path[KF_TEXT_MAX];      /* folder, or the full file path with KF_FLAG_FULL_PATH */
    char resume_path[KF_TEXT_MAX];      /* the task's resume file; "df" appended names the spill */
    uint32_t flags;
    KfTaskHandle handle; /* out: written on success */
} TaskParams;

/* Task information, zeroed and filled by QueryTaskInfo. */
typedef struct TaskInfo {
    char name[KF_TEXT_MAX];
    int32_t progress;     /* 1/10000 of the total; 0 while the total is unknown */
    int32_t status;       /* status code; 20206 whenever progress exceeds 9999 */
    int32_t speed;        /* smoothed download speed, bytes per second */
    int32_t seconds_left; /* estimated seconds remaining */
    int32_t total_kib;    /* total size in KiB */
    int64_t http_bytes;   /* bytes from HTTP sources written to the piece map */
    int64_t bt_bytes;     /* bytes from BT peers written to the piece map */
    int64_t bytes_done;   /* bytes of the content held */
} TaskInfo;

/* TaskInfo and what a task holds: zeroed and filled by QueryTaskInfoEx. */
typedef struct TaskInfoEx {
    TaskInfo info;
    int32_t active_objects;  /* live connections: servers, BT peers and trackers */
    int32_t candidates;      /* known addresses: sources, peers and trackers */
    int32_t verified_pieces; /* pieces checked against their SHA-1 */
    int32_t servers;         /* of the live connections: HTTP and FTP, connected */
    int32_t peers;           /* of the live connections: BitTorrent peers, handshake done */
    int64_t allocated_bytes; /* bytes the target files occupy on disk */
} TaskInfoEx;

/* What the metainfo says of a task's content: zeroed and filled by QueryTorrentSummary (all zero
 * while the task has no piece map). */
typedef struct TorrentSummary {
    uint32_t total_bytes_low; /* the low 32 bits of the content size */
    int32_t piece_count;
    char comment[40]; /* the metainfo's comment, cut at 40 bytes (not NUL-terminated when full) */
    char zero;        /* always 0 */
    char name[KF_TEXT_MAX];
} TorrentSummary;

/* A notable event of a task, for a program that tells its user what happens. */
typedef struct KfNotice {
    int32_t kind;      /* KF_NOTICE_... */
    KfTaskHandle task; /* the task it concerns; 0 for the engine as a whole */
    char address[128]; /* the remote party ("a.b.c.d:port", a URL) or empty */
    int64_t number;    /* what the kind says: a peer count, a piece index, a penalty */
    char text[512];    /* a short reason or detail, or empty */
} KfNotice;

#define KF_NOTICE_TRACKER_ANSWER 1 /* number: peers in the answer */
#define KF_NOTICE_TRACKER_FAILED 2 /* text: why */
#define KF_NOTICE_CONNECTED                                                                       \
    3                       /* a server answered or a peer's handshake was taken; text: "server", \
                             * "BitTorrent peer" or "BitTorrent peer over a UDP tunnel" */
#define KF_NOTICE_DROPPED 4 /* a connection ended; text: why */
#define KF_NOTICE_PENALISED 5 /* a source was penalised; number: its penalty now */
/* A BitTorrent peer's address is banned for the task: its connections are dropped and none is
 * opened to it or taken from it again. address: the peer; text: why (it contains "banned"). A
 * peer is banned once two pieces that failed their check are put down to it. */
#define KF_NOTICE_BANNED 6
/* number: the piece whose SHA-1 check failed; address: the BitTorrent peer it is put down to, or
 * empty. A piece with blocks from several peers is told at once with an empty address and
 * fetched again from one peer; once a good copy passes, one more notice names each peer whose
 * blocks differed from it. text: how it was judged. */
#define KF_NOTICE_PIECE_FAILED 7
#define KF_NOTICE_PROXY_REFUSED 8 /* a proxy refused or failed a connection; text: why */
#define KF_NOTICE_DISK_WAIT 9     /* writes wait for the disk; text: why */
#define KF_NOTICE_BLOCKED 10      /* the IP filter kept a connection from an address */

/* Takes a notice; called on engine threads (one at a time), with no engine lock held. It must
 * return quickly and must not call the engine. */
typedef void (*KfNoticeCallback)(void* context, const KfNotice* notice);

/* Engine start-up and clean-up. */
int32_t InitEngine(const char* folder);
int32_t CleanupEngine(void);

/* Task creation. */
int32_t CreateAndStartTask(TaskParams* params);
int32_t RecoverAndContinueTask(TaskParams* params, uint8_t force);

/* Task control and queries. */
int32_t StopTask(KfTaskHandle task, int32_t reset);
int32_t StopTasks(const KfTaskHandle* tasks, int32_t count, int32_t reset, int32_t* results);
int32_t StartTask(KfTaskHandle task);
int32_t QueryTaskInfo(KfTaskHandle task, TaskInfo* info);
int32_t QueryTaskInfoEx(KfTaskHandle task, TaskInfoEx* info);
int32_t QueryTorrentSummary(KfTaskHandle task, TorrentSummary* summary);
/* Starts the download over: stops the task's thread, deletes the first target file (also under
 * its ".kftmp" name), its ".kfinfo" and ".kfinfodf" files and the task's resume and spill files,
 * forgets the progress and starts the thread again. 0, or KF_ERR_INTERNAL when the thread could
 * not be stopped or started. */
int32_t RestartTask(KfTaskHandle task);
/* The task's note: lines the caller keeps with the task, joined by CR LF (at most 64 KiB; a line
 * that would pass it is refused with KF_ERR_PARAM). ReadTaskNote copies at most size - 1 bytes
 * and a NUL and answers the note's whole length. */
int32_t AppendTaskNote(KfTaskHandle task, const char* line);
int32_t ReadTaskNote(KfTaskHandle task, char* buffer, int32_t size);
int32_t IsTaskComplete(KfTaskHandle task, int32_t* complete);
int32_t SetTaskSpeedLimit(KfTaskHandle task, int32_t direction, int32_t kib_per_second);
int32_t SetTaskConnectionLimits(KfTaskHandle task, int32_t source_connections, int32_t bt_peers);
int32_t GetTaskBitfieldSize(KfTaskHandle task);
int32_t ReadTaskBitfield(KfTaskHandle task, uint8_t* buffer, int32_t size);
int32_t ClearMirrorSources(KfTaskHandle task);
int32_t AddMirrorSources(KfTaskHandle task, const char* url_lines, const char* host_lines);
/* How long a complete task keeps serving peers before its thread ends: 0..20480 hours (default
 * 12; 0 ends it at completion; out of range gives 12). A change applies to a running task at once,
 * counted from its completion. */
int32_t SetTaskSeedingHours(KfTaskHandle task, int32_t hours);
/* Writes 1 while the task's thread runs (downloading or seeding), 0 once it has ended: stopped,
 * failed, or complete with its seeding time passed. */
int32_t IsTaskRunning(KfTaskHandle task, int32_t* running);

/* Engine-wide switches. */
int32_t SetListenPort(int32_t port);
int32_t EnableP2P(int32_t enable);
void SetHttpWrappedHandshake(int32_t enable);
/* The local IPv4 address ("a.b.c.d") that the listener binds to and that outgoing BitTorrent and
 * tracker connections use, so that two engines on one machine can tell each other apart. Null,
 * empty or "0.0.0.0" restores the default (every address). KF_ERR_PARAM for any other text that
 * is not an address. Takes effect when the listener next opens. */
int32_t SetListenAddress(const char* ip);
/* The rendezvous server of the UDP endpoint: host name or address (at most 127 characters) and
 * UDP port (1..65535). The endpoint registers with it and learns the engine's external address;
 * null or empty host: none (no registration, no lookups; the endpoint still serves the DHT).
 * KF_ERR_PARAM for a longer host or a bad port (nothing changes). Takes effect at once. */
int32_t SetRendezvousServer(const char* host, int32_t port);
/* The engine's external IPv4 address as the rendezvous server saw it, as "a.b.c.d" in `text`
 * (`size` bytes, at least 16): its length, or 0 while it is unknown. KF_ERR_PARAM for a null or
 * short buffer. */
int32_t GetEngineExternalAddress(char* text, int32_t size);
/* Tunnelled connections: BitTorrent peers behind NAT routers are reached over reliable streams
 * carried in the UDP endpoint's datagrams, introduced by the rendezvous server, once the engine
 * knows its external address. By default a task tries a peer over TCP first and over a tunnel on
 * every second retry (and only while its rate is below 360 KiB/s); with the preference on, every
 * third attempt from the first on goes over a tunnel whatever the rate. Off by default; takes
 * effect at the next connection attempt. */
int32_t PreferUdpTransport(int32_t enable);
/* LAN discovery: while the P2P switch is on, BitTorrent tasks ask the local network (IPv4
 * multicast group 233.65.31.78, UDP port 31576, TTL 1) for other engines that share their torrent.
 * On by default, on the interface that the system chooses for the group. SetLanInterface pins it to
 * the interface holding this IPv4 address ("a.b.c.d"); null, empty or "0.0.0.0" restores the
 * system's choice; KF_ERR_PARAM for any other text. Both take effect within 400 ms while a task
 * runs. The environment variable KESTRELFETCH_LAN_INTERFACE, read when the engine is loaded, gives
 * the starting interface ("off" switches discovery off), so that a test harness keeps every engine
 * it starts on loopback. */
int32_t EnableLanDiscovery(int32_t enable);
int32_t SetLanInterface(const char* ip);

/* The DHT: a node of BitTorrent's Mainline DHT on the UDP endpoint's socket and port, through
 * which tasks look up peers for their torrents and announce their listen port: a task's lookup
 * starts within 8 seconds of its piece map and runs again 30 s to 6 minutes after each run ends.
 * Off by default. EnableDht sets the wish, which the first task takes; a change while tasks run
 * starts or stops the node at once. The node's table is kept in
 * "$KESTRELFETCH_DATA_HOME/Orlo/Kestrelfetch/KestrelfetchKademlia.kad" (else under $XDG_DATA_HOME
 * or ~/.local/share).
 * SetDhtBootstrapNodes: the nodes asked first while the table is nearly empty, as "host:port"
 * entries separated by commas, spaces or line breaks (at most 256, each at most 255 characters,
 * port 1..65535); null or empty: none (the engine has no built-in list). KF_ERR_PARAM for a list
 * that does not read so (nothing changes). Takes effect at the next bootstrap. */
int32_t EnableDht(int32_t enable);
int32_t SetDhtBootstrapNodes(const char* nodes);
typedef struct KfDhtCounters {
    int32_t running;      /* 1 while the node runs */
    int32_t reserved;
    int64_t nodes;        /* in the routing table, at the last count (every 5 s) */
    int64_t good_nodes;   /* of those, the ones not marked stale */
    int64_t messages_in;  /* DHT datagrams received */
    int64_t bytes_in;
    int64_t messages_out; /* DHT datagrams sent */
    int64_t bytes_out;
} KfDhtCounters;
/* KF_ERR_PARAM for a null pointer. */
int32_t GetDhtCounters(KfDhtCounters* counters);

/* Proxies for server, tracker and peer connections: "http://", "socks4://", "socks4a://" or
 * "socks5://", optionally with "user:password@", then host and port ("host:port"). Null or empty
 * switches the proxy off. KF_ERR_PARAM for an address that is not understood. The engine-wide
 * proxy serves HTTP, FTP and tracker connections; a task's proxy serves its BT peers. */
int32_t SetEngineProxy(const char* proxy_url);
int32_t SetTaskProxy(KfTaskHandle task, const char* proxy_url);

/* The IP filter: a text file of blocked IPv4 ranges, one per line ("10.0.0.0-10.255.255.255 100
 * comment": a range blocks when its level is below 127; blank, '#' and other lines are skipped).
 * Outgoing connections to a blocked address are never opened and incoming ones from it are
 * closed. Answers the number of ranges loaded, or KF_ERR_PARAM when the file cannot be read (the
 * filter is then unchanged). Null or empty clears the filter. Running tasks take the new filter
 * within a second. */
int32_t SetIpFilterFile(const char* path);

/* Notices: null switches them off. Replacing the callback waits for a call in progress. */
int32_t SetEngineNoticeCallback(KfNoticeCallback callback, void* context);

/* UPnP port mapping: MapListenPort chooses the engine's listen port (the previous run's port
 * when it is free, else a free one in 40000..50000 outside the excluded ports) and asks the LAN's
 * Internet gateway to forward that TCP port to this machine, on two background threads. It answers
 * the port at once (0: no free port, or a mapping still in progress); the caller hands it to
 * SetListenPort. On a machine with a public address nothing is asked of any gateway. The outcome
 * goes to the event sink (11390000 mapped, 11390001 no mapping needed, 11500105 failed, with the
 * reason) and to WaitPortMapping. Without a gateway the failure is known within the discovery
 * delay + 1 s. CleanupEngine removes the forwarding from the gateway. */
typedef struct KfPortMapOptions {
    int32_t discovery_delay_ms;       /* the search's wait: 0 for 2000, at most 10000 */
    const char* multicast_interface;  /* search through this address or interface; null: default */
    const char* root_description_url; /* the gateway's description (no search); null: search */
    const int32_t* excluded_ports;    /* never chosen, besides the built-in ones */
    int32_t excluded_count;           /* 0..10001 */
    int32_t port;                     /* map this port instead of choosing one; 0: choose */
    const char* state_file; /* where the chosen port is kept for the next run; null: nowhere */
} KfPortMapOptions;

#define KF_PORTMAP_IDLE 0
#define KF_PORTMAP_RUNNING 1
#define KF_PORTMAP_MAPPED 2
#define KF_PORTMAP_FAILED 3
#define KF_PORTMAP_DIRECT 4 /* a public address: nothing to map */

typedef struct KfPortMapStatus {
    int32_t state;             /* KF_PORTMAP_... */
    int32_t port;              /* the chosen (when mapped: forwarded) port, or 0 */
    int32_t gateway_error;     /* the gateway's error for a refused mapping, else 0 */
    char internal_client[16];  /* this machine's address on the gateway's LAN */
    char external_address[16]; /* the gateway's WAN address, when mapped */
    char text[256];            /* the failure's event text, or the gateway's name when mapped */
} KfPortMapStatus;

/* Null options: the defaults. KF_ERR_PARAM (negative) for options out of range. */
int32_t MapListenPort(const KfPortMapOptions* options);
/* Waits up to timeout_ms for the mapping to end, then fills `status` (zeroed first) and answers
 * its state; KF_ERR_PARAM for a null status. Does not hold up other engine calls. */
int32_t WaitPortMapping(int32_t timeout_ms, KfPortMapStatus* status);

/* Helpers. */
int64_t GetDiskFreeBytes(const char* path);
int32_t ShowMessageAsync(void* owner, const char* text, const char* caption, uint32_t type);
int64_t ParseInt64(const char* text);
int32_t ParseInt32(const char* text);
int64_t GetFileAllocatedSize(const char* path);

/* Engine log. CreateEngineLog comes first of all; after ReleaseEngineLog every write is a no-op. */
void CreateEngineLog(void);
void ReleaseEngineLog(void);
void EngineLogSetThresholds(int32_t file_threshold, int32_t debug_threshold);
void EngineLogSetPathPrefix(const char* prefix);
void EngineLogWrite(const char* text, int32_t channel, int32_t level);

/* The engine's version text. */
const char* GetEngineVersion(void);

/* Telemetry: the download report and its uploader thread "CollectDataUpload".
 *
 * CollectDataUpload (configuration file, game id, application version, game version, channel)
 * starts the uploader once per process: KF_OK, KF_ERR_DUPLICATE while one runs, KF_ERR_INTERNAL
 * when it cannot start. From then on every event of the engine and the application becomes a
 * report. The configuration file is an INI text with the sections SubmitEventDownload and
 * SubmitEventDownloadSeveral: SubmitUrl, SubmitUrl1, SubmitUrl2, ... are the collection URLs,
 * tried in order (the list ends at the first missing or empty key); InputDataKeyWord and
 * SubmitDataKeyWord list ';'-separated names the report and the posted record must hold. Reports
 * are dropped when the file is not given or the game id, application version or game version is
 * empty.
 *
 * ReportDownload (code, server address, HTTP result, total seconds, total bytes, average speed,
 * progress text, HTTP bytes, HTTP speed, P2P bytes, P2P speed, corrupt piece, file name, URL,
 * error message, flags) queues one report; 64-bit figures come as two halves, low first. The
 * report carries the figures and the growth of the time and byte totals since the previous
 * report; flags 1, 2 and 4 add the processor, memory and video-card lists. ReportEvent (code,
 * message, flags) and ReportFileEvent (code, file name, message) are reports with every figure
 * 0. Reports made before CollectDataUpload or after ReleaseEngineLog are dropped; any thread may
 * report and never waits for a post. Texts are UTF-8.
 *
 * The uploader posts at most 20 reports a second to the collection service (over verified HTTPS;
 * plain http:// only to a loopback address), keeps up to 1000 waiting and drops those beyond.
 * ReleaseEngineLog stops it after one bounded flush (at most 6 s of new posts). While it runs,
 * every ShowMessageAsync text ends with a line break and the machine id in full-width
 * parentheses. */
int32_t CollectDataUpload(const char* config_path, const char* game_id, const char* app_version,
                          const char* game_version, const char* channel);
void ReportDownload(const char* code, const char* server_ip, const char* http_result,
                    uint32_t total_time, uint32_t total_bytes_low, uint32_t total_bytes_high,
                    uint32_t average_speed_low, uint32_t average_speed_high, const char* progress,
                    uint32_t http_bytes_low, uint32_t http_bytes_high, uint32_t http_speed_low,
                    uint32_t http_speed_high, uint32_t p2p_bytes_low, uint32_t p2p_bytes_high,
                    uint32_t p2p_speed_low, uint32_t p2p_speed_high, uint32_t corrupt_piece,
                    const char* file_name, const char* url, const char* error_message,
                    uint32_t flags);
void ReportEvent(const char* code, const char* message, uint32_t flags);
void ReportFileEvent(const char* code, const char* file_name, const char* message);

#ifdef __cplusplus
}
#endif

#endif /* KESTRELFETCH_H */
