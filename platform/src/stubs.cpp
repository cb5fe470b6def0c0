/* Services still to grow: they answer as an idle platform would. */
#include <string.h>

#include "export.h"
#include "fault.h"
#include "ipam_platform.h"
#include "platform/platform.h"
#include "reset.h"

namespace ipamplat {
void ps_reset() {}
void cmf_reset() {}
void scs_reset() {}
void dfm_reset() {}
} // namespace ipamplat

IPAMPLAT_API int32_t PS_SubscriberInit(uint32_t, uint32_t, uint32_t, uint32_t,
                                       const struct sockaddr_tipc *, const PS_SUB_CALLBACKS *) {
    int32_t r = 0;
    ipamplat::fault_hit(IPAMPLAT_F_PS_INIT, &r);
    return r;
}
IPAMPLAT_API int32_t PS_SubscriberFini(uint32_t, uint32_t, const struct sockaddr_tipc *) {
    int32_t r = 0;
    ipamplat::fault_hit(IPAMPLAT_F_PS_FINI, &r);
    return r;
}
IPAMPLAT_API int32_t gnl_dfm_process(void *) { return -1; }
IPAMPLAT_API void *gnl_orig_func_get(const char *, const char *) { return nullptr; }
IPAMPLAT_API int32_t CMF_ServerModCallbackReg(uint32_t, CMF_SERVER_HANDLER) { return 0; }
IPAMPLAT_API int32_t CMF_ServerModCallbackUnreg(uint32_t) { return 0; }
IPAMPLAT_API int32_t CMF_ServerContextObjGet(void *, CMF_CONTEXT_OBJ *) { return -1; }
IPAMPLAT_API int32_t CMF_ServerParamDecode(void *, int32_t *, int32_t *, void **) { return -1; }
IPAMPLAT_API int32_t CMF_ServerParamEncode(void *, int32_t, int32_t, const void *) { return -1; }
IPAMPLAT_API int32_t SCS_ClientInit(const SCS_CLIENT_DESC *, uint32_t *handle) {
    if (handle)
        *handle = 0x5c5;
    return 0;
}
IPAMPLAT_API int32_t SCS_ClientFini(uint32_t) { return 0; }
IPAMPLAT_API int32_t SCS_ClientFillMsg(uint32_t, uint32_t, const void *, SCS_MSG *) { return 0; }
IPAMPLAT_API int32_t SCS_ClientSendMsg(uint32_t, SCS_MSG *) { return 0; }
IPAMPLAT_API int32_t SCS_ClientRecvMsg(uint32_t, uint32_t, SCS_MSG *) { return 1; }
IPAMPLAT_API int32_t SCS_ClientParseMsg(SCS_MSG *, uint32_t, int16_t *, uint32_t *, uint32_t *) {
    return 1;
}

IPAMPLAT_API void ipamplat_ps_get_registration(ipamplat_ps_registration *out) {
    if (out)
        memset(out, 0, sizeof *out);
}
IPAMPLAT_API void ipamplat_ps_set_init_hook(void (*)(void *), void *) {}
IPAMPLAT_API int32_t ipamplat_pub_start(void) { return IPAMPLAT_NO_PEER; }
IPAMPLAT_API int32_t ipamplat_pub_send(int32_t, uint32_t, const void *) { return IPAMPLAT_NO_PEER; }
IPAMPLAT_API int32_t ipamplat_pub_end(void) { return IPAMPLAT_NO_PEER; }
IPAMPLAT_API void ipamplat_pub_post_start(void) {}
IPAMPLAT_API void ipamplat_pub_post_send(int32_t, uint32_t, const void *) {}
IPAMPLAT_API void ipamplat_pub_post_end(void) {}
IPAMPLAT_API void ipamplat_pub_drain(void) {}
IPAMPLAT_API int32_t ipamplat_cmf_registered(void) { return 0; }
IPAMPLAT_API int32_t ipamplat_cmf_send(const ipamplat_cmf_request *, ipamplat_cmf_reply **reply) {
    if (reply)
        *reply = nullptr;
    return IPAMPLAT_NO_PEER;
}
IPAMPLAT_API uint32_t ipamplat_cmf_reply_count(const ipamplat_cmf_reply *) { return 0; }
IPAMPLAT_API int32_t ipamplat_cmf_reply_param(const ipamplat_cmf_reply *, uint32_t, int32_t *,
                                              int32_t *, const void **) {
    return -1;
}
IPAMPLAT_API void ipamplat_cmf_reply_free(ipamplat_cmf_reply *) {}
IPAMPLAT_API void ipamplat_scs_set_script(const ipamplat_scs_script *) {}
IPAMPLAT_API void ipamplat_scs_get_script(ipamplat_scs_script *script) {
    if (script) {
        memset(script, 0, sizeof *script);
        script->recvResult = 1;
        script->parseResult = 1;
    }
}
IPAMPLAT_API void ipamplat_scs_get_client(ipamplat_scs_client *out) {
    if (out)
        memset(out, 0, sizeof *out);
}
IPAMPLAT_API uint32_t ipamplat_scs_sent_count(void) { return 0; }
IPAMPLAT_API int32_t ipamplat_scs_sent(uint32_t, uint32_t *, void *, uint32_t) { return -1; }
IPAMPLAT_API void ipamplat_scs_clear_sent(void) {}
IPAMPLAT_API int32_t ipamplat_scs_call_sync(uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    return IPAMPLAT_NO_PEER;
}
IPAMPLAT_API void ipamplat_dfm_set_answer(int32_t) {}
IPAMPLAT_API void ipamplat_dfm_use_env(void) {}
IPAMPLAT_API uint32_t ipamplat_dfm_last_query(uint8_t out[200]) {
    if (out)
        memset(out, 0, 200);
    return 0;
}
