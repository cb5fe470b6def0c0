/*
 * libipam: the subscriber side of the IP address management service.
 *
 * A host process links this library to keep a local, always-current replica
 * of the publisher's table of IPv4/IPv6 interface addresses, to be told about
 * the changes it cares about, to query the replica, and to send set-address
 * requests. This header is the whole public interface; it compiles as C11
 * and as C++.
 *
 * Byte order: integer fields of every record are in the host's byte order;
 * addresses and masks are in network byte order (the octets stand in memory
 * in address order, as inet_pton writes them). Records cross the interface
 * as whole copies, made into the caller's storage only on success: a call
 * that fails writes nothing.
 *
 * Threads: the library has none. The event callback runs on the platform's
 * publish/subscribe thread; the queries, walks and utilities may be called
 * from any thread at any time; the configuration callback runs on the
 * client/server service's thread. The replica is guarded by one database
 * lock that its holder may take again, so the callbacks may query.
 */
#ifndef IPAM_H
#define IPAM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(IPAM_BUILDING_LIBRARY)
#define IPAM_API __attribute__((visibility("default")))
#else
#define IPAM_API
#endif

/* The version of this interface. The build takes the package version (CMake
 * package, pkg-config files, library file name) from these lines. */
#define IPAM_VERSION_MAJOR 1
#define IPAM_VERSION_MINOR 0
#define IPAM_VERSION_PATCH 0
#define IPAM_VERSION_STRING "1.0.0"

/* ------------------------------------------------------------------------
 * Module number, results
 * ------------------------------------------------------------------------ */

#define IPAM_MODULE_ID 198u

#define IPAM_OK 0
#define IPAM_ERR_FAIL (-1)
#define IPAM_WALK_END (-2)         /* normal end of a whole-table walk */
#define IPAM_ERR_NOT_SUBSCRIBED 13 /* the replica is not complete yet */
#define IPAM_ERR_NOT_FOUND 14      /* no interface, record or node matches */
#define IPAM_ERR_PARAM 16          /* a required pointer is null */

/* ------------------------------------------------------------------------
 * Event codes: publisher message codes, host events and care-mask bits
 *
 * Each code has one bit set. "event" codes reach the host's callback with
 * the record named; "message only" codes are what the publisher sends and
 * are never delivered, but asking for an event subscribes to the messages it
 * is made from (see IPAM_SubscribeEvent).
 * ------------------------------------------------------------------------ */

typedef uint32_t IpamEventCode;

#define IPAM_EVT_BATCH_START 0x1u    /* event, null record */
#define IPAM_EVT_BATCH_END 0x2u      /* event, null record */
#define IPAM4_EVT_BATCH 0x4u         /* message only */
#define IPAM4_EVT_ADD 0x8u           /* message and event, Ipam4AddrInfo */
#define IPAM4_EVT_DEL 0x10u          /* message and event, Ipam4AddrInfo */
#define IPAM6_EVT_BATCH 0x20u        /* message only */
#define IPAM6_EVT_ADD 0x40u          /* message and event, Ipam6AddrInfo */
#define IPAM6_EVT_DEL 0x80u          /* message and event, Ipam6AddrInfo */
#define IPAM4_EVT_IF_VALID 0x100u    /* message only (interface block) */
#define IPAM4_EVT_IF_INVALID 0x200u  /* message only (interface block) */
#define IPAM4_EVT_VALID 0x400u       /* event, Ipam4AddrInfo */
#define IPAM4_EVT_INVALID 0x800u     /* event, Ipam4AddrInfo */
#define IPAM6_EVT_IF_VALID 0x1000u   /* message only (interface block) */
#define IPAM6_EVT_IF_INVALID 0x2000u /* message only (interface block) */
#define IPAM6_EVT_VALID 0x4000u      /* event, Ipam6AddrInfo */
#define IPAM6_EVT_INVALID 0x8000u    /* event, Ipam6AddrInfo */
#define IPAM6_EVT_UPDATE 0x10000u    /* message and event, Ipam6AddrInfo */
#define IPAM_EVT_RELAY 0x10000000u   /* message and event, null record */

/* ------------------------------------------------------------------------
 * Address records
 * ------------------------------------------------------------------------ */

#define IPAM_IFNAME_SIZE 40

/* ipAttr / ip6Attr bits the library looks at; all others are carried. */
#define IPAM4_ATTR_PRIMARY 0x02u       /* the interface's primary address */
#define IPAM4_ATTR_NO_VRF_LOOKUP 0x10u /* IPAM4_GetAddrInfo passes it over */
#define IPAM6_ATTR_NO_SOURCE 0x01u     /* not a source, but see IPAM6_GetAddrInfoByIfIndexAndAddr */
#define IPAM_ATTR_IF_VALID 0x20u       /* set and cleared by interface messages */
#define IPAM_ATTR_VALID 0x40u          /* the address is valid */

/*
 * A record's identity, which decides whether the publisher sent a new record
 * or one the replica holds already: interface index, VRF index, address and
 * mask, and the attribute word only while the care mask tracks validity (see
 * IPAM_SubscribeEvent). The name and the IPv6 destination never count.
 */

/* 60 bytes, no padding. */
typedef struct Ipam4AddrInfo {
    uint32_t ifIndex;
    uint32_t vrfIndex;
    uint32_t ipAddr; /* network byte order */
    uint32_t ipMask; /* network byte order */
    uint32_t ipAttr;
    char ifName[IPAM_IFNAME_SIZE]; /* NUL-terminated within its 40 bytes */
} Ipam4AddrInfo;

/* 100 bytes, no padding. */
typedef struct Ipam6AddrInfo {
    uint32_t ifIndex;
    uint32_t vrfIndex;
    uint8_t ip6Addr[16];     /* network byte order */
    uint8_t ip6Mask[16];     /* prefix mask in address form */
    uint8_t ip6DestAddr[16]; /* peer address: carried, never compared */
    uint32_t ip6Attr;
    char ifName[IPAM_IFNAME_SIZE];
} Ipam6AddrInfo;

/* The family-tagged address of the text conversions and the comparison,
 * 20 bytes. Clear it before filling it: IPAM_Compare compares all 20. */
typedef struct IpamAddr {
    uint8_t family;      /* 2 IPv4, 10 IPv6 */
    uint8_t reserved[3]; /* never written by the library */
    uint8_t addr[16];    /* network byte order; IPv4 uses the first 4 */
} IpamAddr;

/* Set-address requests: a request code followed by the record. */
typedef struct Ipam4ConfReq {
    int32_t requestCode;
    uint32_t ifIndex;
    uint32_t vrfIndex;
    uint32_t ipAddr;
    uint32_t ipMask;
    uint32_t ipAttr;
    char ifName[IPAM_IFNAME_SIZE];
} Ipam4ConfReq; /* 64 bytes */

typedef struct Ipam6ConfReq {
    int32_t requestCode;
    uint32_t ifIndex;
    uint32_t vrfIndex;
    uint8_t ip6Addr[16];
    uint8_t ip6Mask[16];
    uint8_t ip6DestAddr[16];
    uint32_t ip6Attr;
    char ifName[IPAM_IFNAME_SIZE];
} Ipam6ConfReq; /* 104 bytes */

/* ------------------------------------------------------------------------
 * Debug flags
 * ------------------------------------------------------------------------ */

#define IPAM_DBG_API 0x01u
#define IPAM_DBG_EVENT 0x02u
#define IPAM_DBG_SUB 0x04u
#define IPAM_DBG_RSV 0x08u
#define IPAM_DBG_DB 0x10u
#define IPAM_DBG_ALL 0x1fu

/* The debug word, IPAM_DBG_* bits; each bit switches on one family of
 * debug log lines. Set to IPAM_DBG_ALL at subscription when the platform's
 * debug switch asks for it, and changed through management object 1. Read
 * without a lock: a change takes effect at the next line. */
IPAM_API extern uint32_t gIpamPubDbg;

/* ------------------------------------------------------------------------
 * Management object (served through the management framework)
 * ------------------------------------------------------------------------ */

#define IPAM_CMF_OBJ_DEBUG 1u
#define IPAM_CMF_OBJ_ADDR4_TABLE 2u
#define IPAM_CMF_OBJ_ADDR6_TABLE 3u

#define IPAM_CMF_OP_GET 0u
#define IPAM_CMF_OP_SET 3u
#define IPAM_CMF_OP_CLEAR 4u

#define IPAM_CMF_PARAM_API 1
#define IPAM_CMF_PARAM_RSV 2
#define IPAM_CMF_PARAM_DB 3
#define IPAM_CMF_PARAM_EVENT 4
#define IPAM_CMF_PARAM_SUB 5
#define IPAM_CMF_PARAM_ALL 6

#define IPAM_CMF_ERR_PARAM 10
#define IPAM_CMF_ERR_PARAM_ID 12
/* The management framework's "done" answer. It shares its value with
 * IPAM_ERR_NOT_SUBSCRIBED by coincidence of two numbering schemes; the two
 * never meet (one answers the framework, the other the host's queries). */
#define IPAM_CMF_END 13

/* ------------------------------------------------------------------------
 * Subscription
 * ------------------------------------------------------------------------ */

/*
 * The host's event callback: one event code and its record, an
 * Ipam4AddrInfo for the IPAM4_EVT_* events, an Ipam6AddrInfo for the
 * IPAM6_EVT_* events, null for IPAM_EVT_BATCH_START, IPAM_EVT_BATCH_END and
 * IPAM_EVT_RELAY. The record is valid only during the call: copy what you
 * keep, never write through the pointer. The result is ignored.
 *
 * It runs on the thread on which the platform delivers the publisher's
 * messages, one event at a time, in the publisher's order: an addition is
 * followed at once by IPAM4/6_EVT_VALID when the record carries
 * IPAM_ATTR_VALID, a deletion by IPAM4/6_EVT_INVALID. The events of a
 * batch's end (the deletions of the records the batch did not confirm) and
 * those of the interface messages (IPAM4/6_EVT_VALID and _INVALID for the
 * interface's records whose validity they change) arrive with the database
 * lock held; all others
 * with no lock held. Either way the callback may call the queries and walks
 * below: the lock lets its holder in again on the same thread. It must not
 * wait for another thread that reads the replica (that thread waits for the
 * lock), and must not subscribe or unsubscribe.
 */
typedef int32_t (*IpamEventCallback)(uint32_t eventCode, void *record);

/*
 * IPAM_SubscribeEvent - keep a replica of the publisher's table and report
 * its changes.
 * @handle:   the host's handle, handed to the publish/subscribe service.
 * @moduleId: the host's module number: handed to the publish/subscribe
 *            service, names the source of the library's log lines, and must
 *            be given again to IPAM_UnSubscribeEvent.
 * @careMask: the events the host wants, IPAM*_EVT_* codes ORed.
 * @callback: the event callback; null keeps the replica without events.
 *
 * One subscription per process: while one stands, a further call is refused
 * whatever its arguments. The queries answer IPAM_ERR_NOT_SUBSCRIBED until
 * the publisher's first batch has ended (ipam_IsSubscrib).
 *
 * The care mask grows by what its events are made from, and the grown mask
 * (ipamSubGetCareEvt) both filters the events delivered and is the set of
 * messages asked of the publisher:
 *   IPAM4_EVT_ADD or _DEL adds IPAM_EVT_BATCH_START, IPAM_EVT_BATCH_END and
 *     the IPv4 batch messages;
 *   IPAM4_EVT_VALID or _INVALID adds IPAM4_EVT_ADD, IPAM4_EVT_DEL, the IPv4
 *     batch and interface messages, but not the batch start and end events;
 *   the IPAM6_* codes likewise, and IPAM6_EVT_VALID or _INVALID also adds
 *     IPAM6_EVT_UPDATE.
 *
 * The mask also decides a record's identity. The attribute word takes part
 * in it only while the mask holds the family's interface-validity codes,
 * that is when IPAM4_EVT_VALID or IPAM4_EVT_INVALID (IPv6: IPAM6_EVT_VALID
 * or IPAM6_EVT_INVALID) was asked for. Without them a stored record that the
 * publisher sends again with other attributes is the same record: a batch
 * confirms it silently, with no event, and the replica keeps its old
 * attribute word; an IPv4 add message raises its event but the stored
 * record keeps its word too (IPv6 add and update messages do replace it).
 * So an IPAM4_ATTR_PRIMARY that moved to another address in a batch is not
 * seen by IPAM4_GetAddrInfoByIfIndex, and an IPv6 batch record newly marked
 * IPAM6_ATTR_NO_SOURCE is still chosen as source. A host that reads
 * attributes, through the queries or in its events, asks for
 * IPAM4_EVT_VALID|IPAM4_EVT_INVALID and, for IPv6,
 * IPAM6_EVT_VALID|IPAM6_EVT_INVALID.
 *
 * Returns 0 when subscribed; -1 when a subscription stands already, or when
 * the replica, the publisher registration or the management handler could
 * not be set up: everything set up is undone and the library stays
 * unsubscribed.
 */
IPAM_API int32_t IPAM_SubscribeEvent(uint32_t handle, uint32_t moduleId, uint32_t careMask,
                                     IpamEventCallback callback);

/*
 * IPAM4_SubscribeEvent - IPAM_SubscribeEvent for an IPv4-only host.
 *
 * Returns -1, with nothing recorded, when the care mask holds
 * IPAM6_EVT_BATCH, IPAM6_EVT_ADD or IPAM6_EVT_DEL; otherwise the result of
 * IPAM_SubscribeEvent with the same arguments. IPAM6_EVT_VALID passes, and
 * brings the IPv6 record events with it.
 */
IPAM_API int32_t IPAM4_SubscribeEvent(uint32_t handle, uint32_t moduleId, uint32_t careMask,
                                      IpamEventCallback callback);

/*
 * IPAM_UnSubscribeEvent - end the subscription and free the replica.
 * @moduleId: the module number given to IPAM_SubscribeEvent. It is handed on
 *            to the publish/subscribe service to name the registration to
 *            end. Any other number is refused (-1, an error line, nothing
 *            changed): the service would end no registration, and its
 *            callbacks would go on into a freed replica.
 *
 * Ends the publisher registration first (no event arrives once this call
 * has returned), then frees the replica and unregisters the
 * management handler. Afterwards the queries answer IPAM_ERR_NOT_SUBSCRIBED
 * and a new subscription starts from an empty replica. Not to be called
 * from the event callback: the events that arrive with the database lock
 * held (a batch's end, the interface messages) and the callbacks of
 * IPAM4_WalkAddrInfo / IPAM6_WalkAddrInfo run inside a walk of the replica,
 * and a call from there is refused (-1, an error line, nothing changed).
 *
 * Returns 0; -1 when no subscription stands, for another module number,
 * when called with the database lock held (above), or when the management handler could not be
 * unregistered (the registration and the replica are gone already; a
 * further call ends what is left).
 */
IPAM_API int32_t IPAM_UnSubscribeEvent(uint32_t moduleId);

/* IPAM4_UnSubscribeEvent - exactly IPAM_UnSubscribeEvent. */
IPAM_API int32_t IPAM4_UnSubscribeEvent(uint32_t moduleId);

/* ipam_IsSubscrib - non-zero from the end of the first publisher batch after
 * a subscription until its unsubscription: the queries answer then. */
IPAM_API int32_t ipam_IsSubscrib(void);

/* ipamSubGetCareEvt - the care mask as grown at subscription; 0 while no
 * subscription stands. */
IPAM_API uint32_t ipamSubGetCareEvt(void);

/* Registration of the management handler with the management framework:
 * done by IPAM_SubscribeEvent and undone by IPAM_UnSubscribeEvent, not by a
 * host. 0, or -1 (logged) when the framework refuses. */
IPAM_API int32_t ipam_CmfServerModCallbackReg(void);
IPAM_API int32_t ipam_CmfServerModCallbackUnreg(void);

/* ------------------------------------------------------------------------
 * Queries
 *
 * Any thread may call them at any time, the event callback included. Each
 * lookup first tests its pointers (IPAM_ERR_PARAM, 16, for a required one
 * that is null), then that the replica is complete (IPAM_ERR_NOT_SUBSCRIBED,
 * 13, until the first batch after the subscription has ended, and after
 * unsubscription), then answers under the database lock: 0 and a copy of
 * the whole record in *out, or IPAM_ERR_NOT_FOUND (14) when no interface or
 * record matches. On every result but 0, *out is not written. A copy does
 * not follow later changes. Interface names are NUL-terminated; only their
 * first 39 characters are compared. "Added first" means first stored in the
 * replica.
 * ------------------------------------------------------------------------ */

/* Record callback of the public walks: a private copy of one record, which
 * the callback may change freely; 0 to go on, anything else to stop. */
typedef int32_t (*Ipam4AddrInfoWalkFn)(Ipam4AddrInfo *record, void *user);
typedef int32_t (*Ipam6AddrInfoWalkFn)(Ipam6AddrInfo *record, void *user);

/* IPAM4_IsIpAddrConfigured - 1 when the interface holds at least one IPv4
 * record, whatever its attributes; 0 when not, and while the replica is not
 * complete. Not a result code. */
IPAM_API int32_t IPAM4_IsIpAddrConfigured(uint32_t ifIndex);

/* IPAM4_GetAddrInfoByIfIndex - the interface's primary IPv4 record: the
 * first added of its records that carry IPAM4_ATTR_PRIMARY. 0, 13, 14 (no
 * such interface, or none of its records is primary), 16 (null out). */
IPAM_API int32_t IPAM4_GetAddrInfoByIfIndex(uint32_t ifIndex, Ipam4AddrInfo *out);

/* IPAM4_GetAddrInfoByIfName - IPAM4_GetAddrInfoByIfIndex for the interface
 * named ifName. 16 also for a null ifName. */
IPAM_API int32_t IPAM4_GetAddrInfoByIfName(const char *ifName, Ipam4AddrInfo *out);

/*
 * IPAM4_GetAddrInfo - the IPv4 record with this (VRF, address) key.
 * @ipAddr: network byte order, as the records hold it (what inet_pton
 *          writes into a uint32_t).
 *
 * When several records carry the key (the address on several interfaces),
 * the last added that lacks IPAM4_ATTR_NO_VRF_LOOKUP. 0, 13, 14 (no record
 * with the key), IPAM_ERR_FAIL -1 (every record with the key carries
 * IPAM4_ATTR_NO_VRF_LOOKUP), 16 (null out).
 */
IPAM_API int32_t IPAM4_GetAddrInfo(uint32_t vrfIndex, uint32_t ipAddr, Ipam4AddrInfo *out);

/*
 * IPAM6_GetAddrInfoByIfIndexAndAddr - the interface's best IPv6 source
 * address for a destination.
 * @addr: the destination, 16 bytes in network byte order, or null for "the
 *        first eligible record".
 *
 * Eligible are the interface's records that are neither link-local
 * (fe80::/10) nor marked IPAM6_ATTR_NO_SOURCE. Among them the longest prefix
 * shared with addr wins, ties going to the one added first; with a null
 * addr the first added wins. A link-local address is chosen only when the
 * interface has no eligible record, whatever the destination (a link-local
 * destination included): then the last added link-local record, even one
 * marked IPAM6_ATTR_NO_SOURCE. Neither IPAM_ATTR_VALID nor the mask is
 * looked at. 0, 13, 14 (no such interface, or no record to choose), 16
 * (null out).
 */
IPAM_API int32_t IPAM6_GetAddrInfoByIfIndexAndAddr(uint32_t ifIndex, const uint8_t *addr,
                                                   Ipam6AddrInfo *out);

/* IPAM6_GetAddrInfoByIfIndex - IPAM6_GetAddrInfoByIfIndexAndAddr with a null
 * destination: the interface's first eligible record. */
IPAM_API int32_t IPAM6_GetAddrInfoByIfIndex(uint32_t ifIndex, Ipam6AddrInfo *out);

/* IPAM6_GetAddrInfoByIfIndexAndIfAddr - the interface's record whose address
 * equals the 16 bytes at ifAddr (the first added when several do), whatever
 * its attributes: link-local and IPAM6_ATTR_NO_SOURCE records are found too.
 * 0, 13, 14, 16 (null ifAddr or out). */
IPAM_API int32_t IPAM6_GetAddrInfoByIfIndexAndIfAddr(uint32_t ifIndex, const uint8_t *ifAddr,
                                                     Ipam6AddrInfo *out);

/* IPAM6_GetAddrInfoByIfNameAndAddr - IPAM6_GetAddrInfoByIfIndexAndAddr for
 * the interface named ifName; addr may be null. 16 also for a null ifName. */
IPAM_API int32_t IPAM6_GetAddrInfoByIfNameAndAddr(const char *ifName, const uint8_t *addr,
                                                  Ipam6AddrInfo *out);

/* IPAM6_GetAddrInfoByIfName - IPAM6_GetAddrInfoByIfNameAndAddr with a null
 * destination. */
IPAM_API int32_t IPAM6_GetAddrInfoByIfName(const char *ifName, Ipam6AddrInfo *out);

/* IPAM6_GetAddrInfo - the IPv6 record with this (VRF, address) key, addr
 * pointing to 16 bytes in network byte order; the last added when several
 * carry it. No attribute is tested. 0, 13, 14, 16 (null addr or out). */
IPAM_API int32_t IPAM6_GetAddrInfo(uint32_t vrfIndex, const uint8_t *addr, Ipam6AddrInfo *out);

/*
 * IPAM4_WalkAddrInfo - hand each IPv4 record of one interface to a callback.
 * @callback: called with a private copy of each record, in the order they
 *            were added, and @user unchanged.
 *
 * No readiness test: the walk reads whatever the replica holds. The callback
 * runs on the caller's thread with the database lock held, so changes to
 * the replica wait meanwhile; it may call the queries, and must not wait for another
 * thread that reads the replica. Returns 0 when every record was visited,
 * IPAM_ERR_FAIL -1 when the callback stopped the walk, 14 when no interface
 * has this index (also while no subscription stands), 16 for a null
 * callback.
 */
IPAM_API int32_t IPAM4_WalkAddrInfo(uint32_t ifIndex, Ipam4AddrInfoWalkFn callback, void *user);

/* IPAM6_WalkAddrInfo - IPAM4_WalkAddrInfo over the interface's IPv6
 * records. */
IPAM_API int32_t IPAM6_WalkAddrInfo(uint32_t ifIndex, Ipam6AddrInfoWalkFn callback, void *user);

/* ------------------------------------------------------------------------
 * Configuration requests
 *
 * Independent of the subscription. The set-address functions may be called
 * from several threads at once; each blocks its thread for one request and
 * one reply on the channel that IPAM_InitConf opened.
 * ------------------------------------------------------------------------ */

/* The host's callback for calls the configuration server makes: it runs on
 * the client/server service's thread with the four words the service hands
 * over, and its result goes back to the service. */
typedef int32_t (*IpamConfCallback)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);

/* The callback stored by the last IPAM_InitConf; null before. While it is
 * null the library answers the service's calls with -1. */
IPAM_API extern IpamConfCallback moduleCallBackFunc;

/* IPAM_InitConf - open the channel to the publisher's configuration server.
 * @hostValue1, @hostValue2: handed to the client/server service unchanged.
 * @callback: stored in moduleCallBackFunc, also when the call fails.
 * Returns the service's result unchanged, 0 when the channel is open. */
IPAM_API int32_t IPAM_InitConf(uint32_t hostValue1, uint32_t hostValue2, IpamConfCallback callback);

/* IPAM_FiniConf - close the channel; the service's result unchanged. The
 * stored callback stays. */
IPAM_API int32_t IPAM_FiniConf(void);

/*
 * IPAM4_SetIpAddr - send one set-address request and wait for the answer.
 * @request: sent as it is, 64 bytes: the request code (agreed between the
 *           host and the server, passed through) and a record in the byte
 *           orders of Ipam4AddrInfo. Only read.
 *
 * Returns 0 when the server accepted the request (or the service says no
 * reply is to be awaited); -1 when the server answered a non-zero error
 * code (traced under IPAM_DBG_API) or no reply could be received; the send's
 * non-zero result, or -1, when a reply came but could not be read;
 * IPAM_ERR_PARAM 16 (logged) for a null request. Nothing is retried.
 */
IPAM_API int32_t IPAM4_SetIpAddr(const Ipam4ConfReq *request);

/* IPAM6_SetIpAddr - IPAM4_SetIpAddr with the 104-byte IPv6 request. */
IPAM_API int32_t IPAM6_SetIpAddr(const Ipam6ConfReq *request);

/* IPAM6_SetDestIpAddr - sends exactly what IPAM6_SetIpAddr sends, for a
 * request whose ip6DestAddr names the peer; only its trace differs. */
IPAM_API int32_t IPAM6_SetDestIpAddr(const Ipam6ConfReq *request);

/* ------------------------------------------------------------------------
 * Address utilities
 *
 * No shared state, no lock, no log: any thread, any time, no subscription
 * needed. A failed call writes nothing.
 * ------------------------------------------------------------------------ */

/* IPAM4_IsIpAddrValid - 1 for a unicast address whose first octet is 1 to
 * 126 or 128 to 223; 0 for 0.x, 127.x (loopback) and 224 and above.
 * @ip: in HOST byte order, the first octet in the most significant byte:
 *      ntohl() of a record's ipAddr (the same value on the big-endian
 *      switch, not on a little-endian workstation). */
IPAM_API int32_t IPAM4_IsIpAddrValid(uint32_t ip);

/* IPAM_Struct2String - the text of addr (family 2 or 10) in text, which
 * holds size bytes (INET6_ADDRSTRLEN is always enough). Returns text, or
 * null for a null argument, another family, or a buffer too small. */
IPAM_API char *IPAM_Struct2String(const IpamAddr *addr, char *text, uint32_t size);

/* IPAM_String2Struct - reads dotted IPv4 text, else IPv6 text, into addr:
 * family and the first 4 or 16 bytes of addr->addr; the other bytes are left
 * as they were. 0, or -1 for a null argument or text of neither form. */
IPAM_API int32_t IPAM_String2Struct(const char *text, IpamAddr *addr);

/* IPAM_Compare - memcmp of all 20 bytes: negative, 0 or positive. Also 0
 * when either pointer is null. */
IPAM_API int32_t IPAM_Compare(const IpamAddr *a, const IpamAddr *b);

/* IPAM4_Len2Mask - the 4-byte mask (network byte order) of a prefix length,
 * length first. 0, or -1 for a null mask or a length above 32. */
IPAM_API int32_t IPAM4_Len2Mask(uint32_t prefixLen, uint8_t *mask);

/* IPAM4_GetNetwork - the 4-byte network of addr for a prefix length, length
 * last; network may be addr itself. 0, or -1 for a null pointer or a length
 * above 32. */
IPAM_API int32_t IPAM4_GetNetwork(const uint8_t *addr, uint8_t *network, uint32_t prefixLen);

/* IPAM6_Len2Mask, IPAM6_GetNetwork - their IPv4 twins over 16 bytes, with
 * lengths up to 128. */
IPAM_API int32_t IPAM6_Len2Mask(uint32_t prefixLen, uint8_t *mask);
IPAM_API int32_t IPAM6_GetNetwork(const uint8_t *addr, uint8_t *network, uint32_t prefixLen);

#ifdef __cplusplus
}
#endif

#include "ipam_db.h"

#endif /* IPAM_H */
