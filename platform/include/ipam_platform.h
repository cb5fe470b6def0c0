/*
 * The stand-in platform: a workstation implementation of every platform
 * service libipam calls (include/platform/), plus the controls that tests,
 * tools and example hosts use to play the platform around a host: capture
 * log lines, play the publisher, send management requests, script the
 * configuration server, and inject faults.
 *
 * Link libipam-platform.so beside libipam.so. Plain C, usable from C11 and
 * C++. Every function here is thread-safe.
 *
 * Cross-process mode: with the environment variable IPAM_PLATFORM_RUNDIR
 * naming a runtime directory (created 0700 when missing), the services also
 * reach other processes over Unix-domain sockets there (docs/wire.md):
 * PS_SubscriberInit connects to the publisher process in the background
 * (and again whenever it goes away), SCS_Client* send to the configuration
 * server process and hand back its reply instead of the script's, and a
 * registered management handler serves requests from outside. Every control
 * below keeps working beside it.
 */
#ifndef IPAM_PLATFORM_CONTROL_H
#define IPAM_PLATFORM_CONTROL_H

#include <stdint.h>

#include "platform/scs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Answer of the publisher and channel controls when nobody is registered. */
#define IPAMPLAT_NO_PEER (-1000)

/* Resets faults, scripts, recordings and the log sink to their defaults.
 * Registrations the library made stay as they are. */
void ipamplat_reset(void);

/* ---------------------------------------------------------------- logging */

/* One formatted log line ("(PID:...)..." without a trailing newline). */
typedef void (*ipamplat_log_sink)(void *ctx, uint32_t moduleId, const char *moduleName,
                                  uint32_t level, uint32_t logClass, const char *text);
/* Every line goes to the sink (null restores none) and, while stderr output
 * is on, to stderr as "[ERR|DBG|L<n>] <MODULE> <text>". Stderr output is on
 * unless the environment variable IPAM_PLATFORM_QUIET is set. */
void ipamplat_log_set_sink(ipamplat_log_sink sink, void *ctx);
void ipamplat_log_set_stderr(int on);

/* Module-name registry behind MODULEMGMT_GetModUpperName (which answers the
 * upper-cased name, or "MOD<id>" for an unknown number). */
int32_t ipamplat_module_register(uint32_t moduleId, const char *name);

/* ---------------------------------------------------------------- faults */

typedef enum ipamplat_fault {
    IPAMPLAT_F_PS_INIT,    /* PS_SubscriberInit */
    IPAMPLAT_F_PS_FINI,    /* PS_SubscriberFini */
    IPAMPLAT_F_SEM_INIT,   /* gnl_sem_mutex_init */
    IPAMPLAT_F_SEM_TAKE,   /* gnl_sem_take (the lock is not taken) */
    IPAMPLAT_F_SEM_GIVE,   /* gnl_sem_give (the lock is not released) */
    IPAMPLAT_F_CMF_REG,    /* CMF_ServerModCallbackReg */
    IPAMPLAT_F_CMF_UNREG,  /* CMF_ServerModCallbackUnreg */
    IPAMPLAT_F_CMF_OBJGET, /* CMF_ServerContextObjGet */
    IPAMPLAT_F_CMF_DECODE, /* CMF_ServerParamDecode */
    IPAMPLAT_F_CMF_ENCODE, /* CMF_ServerParamEncode */
    IPAMPLAT_F_SCS_INIT,   /* SCS_ClientInit */
    IPAMPLAT_F_SCS_FINI,   /* SCS_ClientFini */
    IPAMPLAT_F_ORIG_FUNC,  /* gnl_orig_func_get (answers null) */
    IPAMPLAT_F_DFM,        /* gnl_dfm_process */
    IPAMPLAT_F_COUNT
} ipamplat_fault;

/* After `skip` calls that behave normally, the next `count` calls of that
 * service answer `result` without doing anything (count UINT32_MAX: all). */
void ipamplat_fault_set(ipamplat_fault fault, uint32_t skip, uint32_t count, int32_t result);
void ipamplat_fault_clear_all(void);
/* Calls made to a service since the last reset, failed ones included. */
uint32_t ipamplat_call_count(ipamplat_fault fault);

/* ---------------------------------------------------------------- publish/subscribe */

typedef struct ipamplat_ps_registration {
    int32_t active; /* a subscriber is registered now */
    uint32_t handle;
    uint32_t moduleId;
    uint32_t publisherModuleId;
    uint32_t careMask;
    uint8_t publisher[16]; /* the sockaddr_tipc bytes as passed */
    uint32_t initCalls;    /* since the last reset */
    uint32_t finiCalls;
    uint32_t finiModuleId; /* arguments of the last Fini */
    uint32_t finiPublisherModuleId;
    uint8_t finiPublisher[16];
} ipamplat_ps_registration;

void ipamplat_ps_get_registration(ipamplat_ps_registration *out);

/* Called inside PS_SubscriberInit once the registration is recorded and
 * before it returns, on the caller's thread: lets a test deliver callbacks
 * while registration is still in progress. Null removes it. */
void ipamplat_ps_set_init_hook(void (*hook)(void *ctx), void *ctx);

/* Playing the publisher. Each call runs the subscriber's callback on the
 * publisher thread, one callback at a time and in call order, waits for it
 * and answers its result (IPAMPLAT_NO_PEER when no subscriber is
 * registered). The payload is copied first. No callback starts after
 * PS_SubscriberFini has returned. */
int32_t ipamplat_pub_start(void);
int32_t ipamplat_pub_send(int32_t code, uint32_t length, const void *payload);
int32_t ipamplat_pub_end(void);

/* The same, queued without waiting; ipamplat_pub_drain waits until every
 * queued callback has run. Queued callbacks for a subscriber that went away
 * are dropped. */
void ipamplat_pub_post_start(void);
void ipamplat_pub_post_send(int32_t code, uint32_t length, const void *payload);
void ipamplat_pub_post_end(void);
void ipamplat_pub_drain(void);

/* ---------------------------------------------------------------- management */

typedef struct ipamplat_cmf_param {
    int32_t id;
    int32_t length;
    const void *data; /* copied when the request is sent */
} ipamplat_cmf_param;

typedef struct ipamplat_cmf_request {
    uint32_t objectId;
    uint32_t operation;
    uint32_t paramCount; /* decoded in order; decoding past them answers -1 */
    const ipamplat_cmf_param *params;
    int32_t encodeLimit;       /* accept this many parameters, then answer */
    int32_t encodeLimitAnswer; /* ... this (4 ends a page); limit < 0: no limit;
                                  limit 0: refused with 10, the handler not run */
} ipamplat_cmf_request;

typedef struct ipamplat_cmf_reply ipamplat_cmf_reply;

int32_t ipamplat_cmf_registered(void);
/* Sends a request to the registered handler, which runs on the management
 * thread; waits for it. *reply (when not null) receives the parameters the
 * handler encoded, to be freed with ipamplat_cmf_reply_free. Answers the
 * handler's result, or IPAMPLAT_NO_PEER when no handler is registered. */
int32_t ipamplat_cmf_send(const ipamplat_cmf_request *request, ipamplat_cmf_reply **reply);
uint32_t ipamplat_cmf_reply_count(const ipamplat_cmf_reply *reply);
/* 0 and the i-th encoded parameter (data valid until the reply is freed). */
int32_t ipamplat_cmf_reply_param(const ipamplat_cmf_reply *reply, uint32_t i, int32_t *id,
                                 int32_t *length, const void **data);
void ipamplat_cmf_reply_free(ipamplat_cmf_reply *reply);

/* ---------------------------------------------------------------- configuration channel */

/* What the configuration server answers. Defaults: every call 0, except
 * receive 1 and parse 1 (a reply arrived and was parsed), error code 0. */
typedef struct ipamplat_scs_script {
    int32_t initResult;
    int32_t finiResult;
    int32_t sendResult;
    int32_t recvResult;
    int32_t parseResult;
    int16_t replyErrCode;
} ipamplat_scs_script;

void ipamplat_scs_set_script(const ipamplat_scs_script *script);
void ipamplat_scs_get_script(ipamplat_scs_script *script);

typedef struct ipamplat_scs_client {
    int32_t open;    /* SCS_ClientInit succeeded and no Fini since */
    uint32_t handle; /* the handle the service gave */
    uint32_t hostValue1;
    uint32_t moduleId;
    uint32_t hostValue2;
    uint8_t server[16]; /* the sockaddr_tipc bytes as passed */
    uintptr_t callbacks[4];
    uint32_t initCalls, finiCalls, fillCalls, sendCalls, recvCalls, parseCalls;
    uint32_t lastFiniHandle;
    uint32_t lastSendHandle, lastRecvHandle, lastRecvType, lastFillType;
} ipamplat_scs_client;

void ipamplat_scs_get_client(ipamplat_scs_client *out);

/* Bodies sent (framed with SCS_ClientFillMsg, then SCS_ClientSendMsg), oldest
 * first. ipamplat_scs_sent copies at most `size` bytes of body i and answers
 * its length, or -1 when there is no such message. */
uint32_t ipamplat_scs_sent_count(void);
int32_t ipamplat_scs_sent(uint32_t i, uint32_t *msgType, void *body, uint32_t size);
void ipamplat_scs_clear_sent(void);

/* Makes the server call the client's synchronous callback with these words,
 * on the channel thread; answers its result, or IPAMPLAT_NO_PEER. */
int32_t ipamplat_scs_call_sync(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d);

/* ---------------------------------------------------------------- debug switch */

/* gnl_dfm_process answers this value once set; until then (or after
 * ipamplat_dfm_use_env) it answers the integer in the environment variable
 * IPAM_PLATFORM_DFM, or -1 when that is unset. */
void ipamplat_dfm_set_answer(int32_t answer);
void ipamplat_dfm_use_env(void);
/* The last query block received (200 bytes); answers the number of calls. */
uint32_t ipamplat_dfm_last_query(uint8_t out[200]);

#ifdef __cplusplus
}
#endif

#endif /* IPAM_PLATFORM_CONTROL_H */
