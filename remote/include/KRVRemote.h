/* Mirrors served by mirrorkit-server, from C and C++: connect to a server, open a mirror in a session (or attach to
 * one that other programs share), and drive it with the calls of the local interface. Plain C.
 *
 * Results: every call returns the result code the server's kit answered (KRVRC of KRV.h, NO_ERR on success), or,
 * when the call got no such answer, KRV_REMOTE_TRANSPORT plus the gRPC status code: the server cannot be
 * reached (KRV_REMOTE_UNAVAILABLE), refused the token or the certificate (KRV_REMOTE_UNAUTHENTICATED), found the
 * request malformed (KRV_REMOTE_INVALID_ARGUMENT: a value count that does not fit the mirror, a NaN, ...), or did
 * not answer in time (KRV_REMOTE_DEADLINE_EXCEEDED). KRVRemoteLastError() gives the message of the calling
 * thread's last failed call. A call that fails changes nothing on the server.
 *
 * Threads: one KRVRemote may be used from several threads at once; a stream or a watch by one thread at a time.
 */
#ifndef KRV_REMOTE_H
#define KRV_REMOTE_H

#include <KRV.h>

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KRV_REMOTE_TRANSPORT 0x1000u
#define KRV_REMOTE_INVALID_ARGUMENT (KRV_REMOTE_TRANSPORT + 3u)
#define KRV_REMOTE_DEADLINE_EXCEEDED (KRV_REMOTE_TRANSPORT + 4u)
#define KRV_REMOTE_UNAVAILABLE (KRV_REMOTE_TRANSPORT + 14u)
#define KRV_REMOTE_UNAUTHENTICATED (KRV_REMOTE_TRANSPORT + 16u)

#define KRV_REMOTE_NAME_LEN 64
#define KRV_REMOTE_SATURATION_LIST 64

/* A connection to one server, with the client identity that keeps this program's sessions and reservations. */
typedef struct KRVRemote KRVRemote;
/* A loop's stream of frames to one session. */
typedef struct KRVRemoteStream KRVRemoteStream;
/* An observer's stream of the frames applied to one session. */
typedef struct KRVRemoteWatch KRVRemoteWatch;

typedef struct KRVRemoteOptions {
    const char* Token;            /* the server's token, or NULL */
    const char* RootCertificates; /* PEM file of the authority that signed the server's certificate: TLS; NULL:
                                     plaintext (loopback servers) */
    const char* ClientName;       /* how other clients see this one; NULL: "mirrorkit-remote" */
    uint32_t TimeoutMs;           /* time limit of each call, and of connecting (reaching the server and its
                                     first answer); 0: 10000 */
} KRVRemoteOptions;

typedef enum KRVRemoteBehavior {
    KRV_REMOTE_AUTO = 0,        /* attach when the session exists, else open the mirror */
    KRV_REMOTE_OPEN_NEW = 1,    /* open the mirror; ERR_DRIVER_ALREADY_OPEN when the session exists */
    KRV_REMOTE_ATTACH_ONLY = 2  /* attach; ERR_DRIVER_NOT_OPEN when there is no such session */
} KRVRemoteBehavior;

typedef struct KRVRemoteMirrorInfo {
    char Serial[KRV_SERIAL_NUMBER_LEN + 1];
    char Session[KRV_REMOTE_NAME_LEN + 1]; /* the session the caller is attached to */
    DRVTYPE DriverType;
    uint32_t ActCount;                     /* values per frame */
    uint32_t GridWidth;
    uint32_t Layout;                       /* DMLayout */
    int32_t DevId;
    uint32_t ChannelCount;                 /* channels of the drive electronics */
    bool Created;                          /* true: this call opened the mirror; false: it attached */
    bool Segmented;                        /* three actuators per segment: piston, x-tilt, y-tilt */
    bool CalibrationLoaded;                /* an open-loop calibration table is loaded */
    double StrokeNm;                       /* the model's nominal stroke; 0 when the server cannot tell */
} KRVRemoteMirrorInfo;

typedef struct KRVRemoteMirrorEntry {
    char Serial[KRV_SERIAL_NUMBER_LEN + 1];
    bool ProfileRead;                      /* DriverType and ActCount are known */
    DRVTYPE DriverType;
    uint32_t ActCount;
    bool Open;
    char Session[KRV_REMOTE_NAME_LEN + 1];
    uint32_t Clients;
    bool Reserved;
} KRVRemoteMirrorEntry;

/* What a call that sent a frame reports: the frame's number in its session and the actuators whose summed
 * channels were outside 0..1 and were clamped (the first KRV_REMOTE_SATURATION_LIST of them). */
typedef struct KRVRemoteFrameResult {
    uint64_t Sequence;
    uint32_t Clamped;
    uint32_t ClampedLow;
    uint32_t ClampedHigh;
    uint32_t ListedCount;
    uint32_t Actuators[KRV_REMOTE_SATURATION_LIST];
} KRVRemoteFrameResult;

typedef struct KRVRemoteStreamCounts {
    uint64_t Received;
    uint64_t Applied;
    uint64_t Saturated;     /* frames in which at least one actuator was clamped */
    uint64_t LastSequence;
} KRVRemoteStreamCounts;

typedef struct KRVRemoteFrameEvent {
    uint64_t Sequence;
    int64_t TimeUnixNs;
    uint32_t Count;         /* values written to the caller's array */
    uint32_t Clamped;
    uint64_t Dropped;       /* frames missed before this one because the watcher read too slowly */
    bool SessionClosed;     /* the last event: the session's mirror was closed */
    char Writer[129];
} KRVRemoteFrameEvent;

/* Connects to a server ("host:port") and registers this client. options may be NULL. No connection within the
 * time limit (nothing listening, or a peer that never speaks gRPC) gives KRV_REMOTE_UNAVAILABLE; a gRPC server
 * that does not register the client within it gives KRV_REMOTE_DEADLINE_EXCEEDED. */
KRVAPI KRVRC KRVRemoteConnect(const char* target, const KRVRemoteOptions* options, KRVRemote** remote);
/* Ends the client: its reservations end and it is detached from its sessions (the last one closes the mirror). */
KRVAPI void KRVRemoteDisconnect(KRVRemote* remote);
/* true while the server knows this client: false once the connection was lost or the server shut down (calls
 * then answer KRV_REMOTE_UNAVAILABLE; a new KRVRemoteConnect is needed). */
KRVAPI bool KRVRemoteIsConnected(KRVRemote* remote);
/* Message of the calling thread's last failed call ("" after a success). */
KRVAPI const char* KRVRemoteLastError(void);

/* Mirrors the server can open; count receives how many there are (entries beyond capacity are not written). */
KRVAPI KRVRC KRVRemoteListMirrors(KRVRemote* remote, KRVRemoteMirrorEntry* entries, uint32_t capacity,
                                  uint32_t* count);
/* session NULL or "": the serial number. serial may be NULL with KRV_REMOTE_ATTACH_ONLY. info may be NULL. */
KRVAPI KRVRC KRVRemoteOpen(KRVRemote* remote, const char* serial, const char* session, KRVRemoteBehavior behavior,
                           KRVRemoteMirrorInfo* info);
KRVAPI KRVRC KRVRemoteClose(KRVRemote* remote, const char* session);
/* What a session's mirror is now, as Open tells it (Created false); needs neither an attachment nor the
 * reservation, so observers use it. gridMask receives GridWidth x GridWidth flags, row-major, 1 where an
 * actuator sits (actuators numbered row by row); maskCount receives how many the server gave (0: it places no
 * actuators on a grid for this mirror). ERR_BADARG when maskCapacity is smaller than that. gridMask (with
 * maskCapacity 0) and maskCount may be NULL. */
KRVAPI KRVRC KRVRemoteDescribeSession(KRVRemote* remote, const char* session, KRVRemoteMirrorInfo* info,
                                      uint8_t* gridMask, uint32_t maskCapacity, uint32_t* maskCount);
KRVAPI KRVRC KRVRemoteReserve(KRVRemote* remote, const char* session);
KRVAPI KRVRC KRVRemoteRelease(KRVRemote* remote, const char* session);

/* Frames (result may be NULL). */
KRVAPI KRVRC KRVRemoteSend(KRVRemote* remote, const char* session, const double* values, uint32_t count,
                           KRVRemoteFrameResult* result);
KRVAPI KRVRC KRVRemotePoke(KRVRemote* remote, const char* session, uint32_t actuator, double value,
                           KRVRemoteFrameResult* result);
/* The applied frame; count receives the mirror's actuator count (ERR_BADARG when capacity is smaller). */
KRVAPI KRVRC KRVRemoteRead(KRVRemote* remote, const char* session, double* values, uint32_t capacity,
                           uint32_t* count, uint64_t* sequence);
KRVAPI KRVRC KRVRemoteClear(KRVRemote* remote, const char* session, KRVRemoteFrameResult* result);
/* Channels: values NULL (count 0) changes only the gain of an existing channel; "" is the default channel. */
KRVAPI KRVRC KRVRemoteSetChannel(KRVRemote* remote, const char* session, const char* channel, const double* values,
                                 uint32_t count, double gain, KRVRemoteFrameResult* result);
KRVAPI KRVRC KRVRemoteClearChannel(KRVRemote* remote, const char* session, const char* channel,
                                   KRVRemoteFrameResult* result);

/* Open loop. LoadCalibration sends the contents of a local MAT file. */
KRVAPI KRVRC KRVRemoteLoadCalibration(KRVRemote* remote, const char* session, const char* path);
KRVAPI KRVRC KRVRemoteCalculateSurface(KRVRemote* remote, const char* session, const double* phase, uint32_t width,
                                       uint32_t height, uint32_t dmDiameter, unsigned options, double* commands,
                                       uint32_t commandCount);
/* As KRVRemoteCalculateSurface, and also the map resampled to the actuator grid (GridWidth x GridWidth values,
 * row-major, nm) in lowRes (ERR_BADARG when lowResCount is smaller). */
KRVAPI KRVRC KRVRemoteCalculateSurfaceEx(KRVRemote* remote, const char* session, const double* phase,
                                         uint32_t width, uint32_t height, uint32_t dmDiameter, unsigned options,
                                         double* commands, uint32_t commandCount, double* lowRes,
                                         uint32_t lowResCount);
KRVAPI KRVRC KRVRemoteSetSurface(KRVRemote* remote, const char* session, const double* phase, uint32_t width,
                                 uint32_t height, uint32_t dmDiameter, unsigned options, KRVRemoteFrameResult* result);
/* side receives the side of the square map written (grid width, or aperture diameter + 1 with apertureOnly). */
KRVAPI KRVRC KRVRemoteZernikeSurface(KRVRemote* remote, const char* session, const double* coefficients,
                                     uint32_t count, uint32_t dmDiameter, bool apertureOnly, double* phase,
                                     uint32_t phaseCapacity, uint32_t* side);
KRVAPI KRVRC KRVRemoteSetSegment(KRVRemote* remote, const char* session, uint32_t segment, double piston,
                                 double xTilt, double yTilt, bool applyOffsets, bool sendNow,
                                 KRVRemoteFrameResult* result);
KRVAPI KRVRC KRVRemoteGetSegmentRange(KRVRemote* remote, const char* session, uint32_t segment, DMSegmentAxis axis,
                                      double piston, double xTilt, double yTilt, bool applyOffsets, double* minValue,
                                      double* maxValue);

/* PCIe card features (other mirrors answer ERR_NOT_IMPLEMENTED). */
KRVAPI KRVRC KRVRemoteConfigureSequence(KRVRemote* remote, const char* session, const double* values, double delay,
                                        uint32_t frameLength, uint32_t seqLength);
KRVAPI KRVRC KRVRemoteEnableSequence(KRVRemote* remote, const char* session, double frameRate, bool enable);
KRVAPI KRVRC KRVRemoteConfigureDither(KRVRemote* remote, const char* session, const double* waveform,
                                      uint32_t waveformLength, const double* gains, uint32_t gainCount);
KRVAPI KRVRC KRVRemoteEnableDither(KRVRemote* remote, const char* session, double frameRate, bool enable);
KRVAPI KRVRC KRVRemoteEnableHighRes(KRVRemote* remote, const char* session, bool enable);

/* A loop's frames: Begin, Send per frame, End. A refused frame ends the stream: that Send (or a later one) and
 * End return the refusal. End frees the stream whatever it returns; counts may be NULL. channel NULL or "" is the
 * default channel. */
KRVAPI KRVRC KRVRemoteStreamBegin(KRVRemote* remote, const char* session, const char* channel,
                                  KRVRemoteStream** stream);
KRVAPI KRVRC KRVRemoteStreamSend(KRVRemoteStream* stream, const double* values, uint32_t count);
KRVAPI KRVRC KRVRemoteStreamEnd(KRVRemoteStream* stream, KRVRemoteStreamCounts* counts);

/* Watching: the first event is the frame applied when the watch began. Next waits up to timeoutMs and answers
 * ERR_TIMEOUT when no frame came; after the SessionClosed event it answers ERR_DRIVER_NOT_OPEN. values may be
 * NULL (capacity 0) to take the event alone. */
KRVAPI KRVRC KRVRemoteWatchBegin(KRVRemote* remote, const char* session, KRVRemoteWatch** watch);
KRVAPI KRVRC KRVRemoteWatchNext(KRVRemoteWatch* watch, double* values, uint32_t capacity,
                                KRVRemoteFrameEvent* event, uint32_t timeoutMs);
KRVAPI void KRVRemoteWatchEnd(KRVRemoteWatch* watch);

#ifdef __cplusplus
}
#endif

#endif /* KRV_REMOTE_H */
