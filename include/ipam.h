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
 * in address order). Records cross the interface as whole copies.
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

/* ------------------------------------------------------------------------
 * Module number, results
 * ------------------------------------------------------------------------ */

#define IPAM_MODULE_ID 198u

#define IPAM_OK 0
#define IPAM_ERR_FAIL (-1)
#define IPAM_WALK_END (-2)            /* normal end of a whole-table walk */
#define IPAM_ERR_NOT_SUBSCRIBED 13    /* the replica is not complete yet */
#define IPAM_ERR_NOT_FOUND 14         /* no interface, record or node matches */
#define IPAM_ERR_PARAM 16             /* a required pointer is null */

/* ------------------------------------------------------------------------
 * Event codes: publisher message codes, host events and care-mask bits
 * ------------------------------------------------------------------------ */

typedef uint32_t IpamEventCode;

#define IPAM_EVT_BATCH_START 0x1u       /* event, null record */
#define IPAM_EVT_BATCH_END 0x2u         /* event, null record */
#define IPAM4_EVT_BATCH 0x4u            /* message only */
#define IPAM4_EVT_ADD 0x8u              /* message and event, Ipam4AddrInfo */
#define IPAM4_EVT_DEL 0x10u             /* message and event, Ipam4AddrInfo */
#define IPAM6_EVT_BATCH 0x20u           /* message only */
#define IPAM6_EVT_ADD 0x40u             /* message and event, Ipam6AddrInfo */
#define IPAM6_EVT_DEL 0x80u             /* message and event, Ipam6AddrInfo */
#define IPAM4_EVT_IF_VALID 0x100u       /* message only (interface block) */
#define IPAM4_EVT_IF_INVALID 0x200u     /* message only (interface block) */
#define IPAM4_EVT_VALID 0x400u          /* event, Ipam4AddrInfo */
#define IPAM4_EVT_INVALID 0x800u        /* event, Ipam4AddrInfo */
#define IPAM6_EVT_IF_VALID 0x1000u      /* message only (interface block) */
#define IPAM6_EVT_IF_INVALID 0x2000u    /* message only (interface block) */
#define IPAM6_EVT_VALID 0x4000u         /* event, Ipam6AddrInfo */
#define IPAM6_EVT_INVALID 0x8000u       /* event, Ipam6AddrInfo */
#define IPAM6_EVT_UPDATE 0x10000u       /* message and event, Ipam6AddrInfo */
#define IPAM_EVT_RELAY 0x10000000u      /* message and event, null record */

/* ------------------------------------------------------------------------
 * Address records
 * ------------------------------------------------------------------------ */

#define IPAM_IFNAME_SIZE 40

/* ipAttr / ip6Attr bits the library looks at; all others are carried. */
#define IPAM4_ATTR_PRIMARY 0x02u
#define IPAM4_ATTR_NO_VRF_LOOKUP 0x10u
#define IPAM6_ATTR_NO_SOURCE 0x01u
#define IPAM_ATTR_IF_VALID 0x20u
#define IPAM_ATTR_VALID 0x40u

/* 60 bytes, no padding. */
typedef struct Ipam4AddrInfo {
    uint32_t ifIndex;
    uint32_t vrfIndex;
    uint32_t ipAddr;  /* network byte order */
    uint32_t ipMask;  /* network byte order */
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

/* The debug word. Written by subscription and the management handler. */
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
#define IPAM_CMF_END 13

/* ------------------------------------------------------------------------
 * Subscription
 * ------------------------------------------------------------------------ */

/* The host's event callback: the code and a record (Ipam4AddrInfo,
 * Ipam6AddrInfo) or null. The record is valid only during the call. */
typedef int32_t (*IpamEventCallback)(uint32_t eventCode, void *record);

IPAM_API int32_t IPAM_SubscribeEvent(uint32_t handle, uint32_t moduleId,
                                     uint32_t careMask, IpamEventCallback callback);
IPAM_API int32_t IPAM4_SubscribeEvent(uint32_t handle, uint32_t moduleId,
                                      uint32_t careMask, IpamEventCallback callback);
IPAM_API int32_t IPAM_UnSubscribeEvent(uint32_t moduleId);
IPAM_API int32_t IPAM4_UnSubscribeEvent(uint32_t moduleId);
/* Non-zero once the replica holds a complete first batch. */
IPAM_API int32_t ipam_IsSubscrib(void);
/* The care mask after expansion. */
IPAM_API uint32_t ipamSubGetCareEvt(void);

/* Registration of the management handler (done by subscription). */
IPAM_API int32_t ipam_CmfServerModCallbackReg(void);
IPAM_API int32_t ipam_CmfServerModCallbackUnreg(void);

/* ------------------------------------------------------------------------
 * Queries (answer 13 until the first batch has ended)
 * ------------------------------------------------------------------------ */

/* Record callback of the public walks: a private copy, 0 to go on. */
typedef int32_t (*Ipam4AddrInfoWalkFn)(Ipam4AddrInfo *record, void *user);
typedef int32_t (*Ipam6AddrInfoWalkFn)(Ipam6AddrInfo *record, void *user);

IPAM_API int32_t IPAM4_IsIpAddrConfigured(uint32_t ifIndex); /* 1 or 0 */
IPAM_API int32_t IPAM4_GetAddrInfoByIfIndex(uint32_t ifIndex, Ipam4AddrInfo *out);
IPAM_API int32_t IPAM4_GetAddrInfoByIfName(const char *ifName, Ipam4AddrInfo *out);
IPAM_API int32_t IPAM4_GetAddrInfo(uint32_t vrfIndex, uint32_t ipAddr, Ipam4AddrInfo *out);
IPAM_API int32_t IPAM6_GetAddrInfoByIfIndexAndAddr(uint32_t ifIndex, const uint8_t *addr,
                                                   Ipam6AddrInfo *out);
IPAM_API int32_t IPAM6_GetAddrInfoByIfIndex(uint32_t ifIndex, Ipam6AddrInfo *out);
IPAM_API int32_t IPAM6_GetAddrInfoByIfIndexAndIfAddr(uint32_t ifIndex, const uint8_t *ifAddr,
                                                     Ipam6AddrInfo *out);
IPAM_API int32_t IPAM6_GetAddrInfoByIfNameAndAddr(const char *ifName, const uint8_t *addr,
                                                  Ipam6AddrInfo *out);
IPAM_API int32_t IPAM6_GetAddrInfoByIfName(const char *ifName, Ipam6AddrInfo *out);
IPAM_API int32_t IPAM6_GetAddrInfo(uint32_t vrfIndex, const uint8_t *addr, Ipam6AddrInfo *out);
IPAM_API int32_t IPAM4_WalkAddrInfo(uint32_t ifIndex, Ipam4AddrInfoWalkFn callback, void *user);
IPAM_API int32_t IPAM6_WalkAddrInfo(uint32_t ifIndex, Ipam6AddrInfoWalkFn callback, void *user);

/* ------------------------------------------------------------------------
 * Configuration requests
 * ------------------------------------------------------------------------ */

/* The host's callback for calls the configuration server makes. */
typedef int32_t (*IpamConfCallback)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);

IPAM_API extern IpamConfCallback moduleCallBackFunc;

IPAM_API int32_t IPAM_InitConf(uint32_t hostValue1, uint32_t hostValue2, IpamConfCallback callback);
IPAM_API int32_t IPAM_FiniConf(void);
IPAM_API int32_t IPAM4_SetIpAddr(const Ipam4ConfReq *request);
IPAM_API int32_t IPAM6_SetIpAddr(const Ipam6ConfReq *request);
IPAM_API int32_t IPAM6_SetDestIpAddr(const Ipam6ConfReq *request);

/* ------------------------------------------------------------------------
 * Address utilities (no shared state, no lock, no log)
 * ------------------------------------------------------------------------ */

/* ip: first octet in the most significant byte. 1 valid, 0 not. */
IPAM_API int32_t IPAM4_IsIpAddrValid(uint32_t ip);
IPAM_API char *IPAM_Struct2String(const IpamAddr *addr, char *text, uint32_t size);
IPAM_API int32_t IPAM_String2Struct(const char *text, IpamAddr *addr);
IPAM_API int32_t IPAM_Compare(const IpamAddr *a, const IpamAddr *b);
IPAM_API int32_t IPAM4_Len2Mask(uint32_t prefixLen, uint8_t *mask);
IPAM_API int32_t IPAM4_GetNetwork(const uint8_t *addr, uint8_t *network, uint32_t prefixLen);
IPAM_API int32_t IPAM6_Len2Mask(uint32_t prefixLen, uint8_t *mask);
IPAM_API int32_t IPAM6_GetNetwork(const uint8_t *addr, uint8_t *network, uint32_t prefixLen);

#ifdef __cplusplus
}
#endif

#include "ipam_db.h"

#endif /* IPAM_H */
