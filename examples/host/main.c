/*
 * A minimal libipam host: subscribe, print the events, query the replica,
 * unsubscribe. On a workstation the stand-in platform plays the publisher
 * (ipam_platform.h); on the switch the real publisher does, and the part
 * between "play the publisher" and "query" is not there.
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <ipam.h>
#include <ipam_platform.h>

#define HOST_MODULE 42u

static int32_t on_event(uint32_t code, void *record) {
    char text[INET6_ADDRSTRLEN] = "";
    if (code == IPAM4_EVT_ADD || code == IPAM4_EVT_DEL) {
        const Ipam4AddrInfo *r = record;
        inet_ntop(AF_INET, &r->ipAddr, text, sizeof text); /* network byte order */
        printf("event 0x%x %s on %s\n", (unsigned)code, text, r->ifName);
    } else if (code == IPAM6_EVT_ADD || code == IPAM6_EVT_DEL) {
        const Ipam6AddrInfo *r = record;
        inet_ntop(AF_INET6, r->ip6Addr, text, sizeof text);
        printf("event 0x%x %s on %s\n", (unsigned)code, text, r->ifName);
    } else {
        printf("event 0x%x\n", (unsigned)code);
    }
    return 0;
}

static void play_publisher(void) {
    Ipam4AddrInfo r4;
    Ipam6AddrInfo r6;
    memset(&r4, 0, sizeof r4);
    r4.ifIndex = 3;
    inet_pton(AF_INET, "10.0.0.1", &r4.ipAddr);
    inet_pton(AF_INET, "255.255.255.0", &r4.ipMask);
    r4.ipAttr = IPAM4_ATTR_PRIMARY | IPAM_ATTR_VALID;
    strcpy(r4.ifName, "eth0");
    memset(&r6, 0, sizeof r6);
    r6.ifIndex = 3;
    inet_pton(AF_INET6, "2001:db8::1", r6.ip6Addr);
    IPAM6_Len2Mask(64, r6.ip6Mask);
    r6.ip6Attr = IPAM_ATTR_VALID;
    strcpy(r6.ifName, "eth0");

    ipamplat_pub_start();
    ipamplat_pub_send((int32_t)IPAM4_EVT_BATCH, sizeof r4, &r4);
    ipamplat_pub_send((int32_t)IPAM6_EVT_BATCH, sizeof r6, &r6);
    ipamplat_pub_end();
}

int main(void) {
    ipamplat_log_set_stderr(0);
    if (IPAM_SubscribeEvent(1, HOST_MODULE, IPAM4_EVT_ADD | IPAM6_EVT_ADD, on_event) != 0) {
        fprintf(stderr, "subscription refused\n");
        return 1;
    }
    play_publisher();

    Ipam4AddrInfo primary;
    char text[INET6_ADDRSTRLEN] = "";
    int32_t r = IPAM4_GetAddrInfoByIfIndex(3, &primary);
    if (r == IPAM_OK) {
        inet_ntop(AF_INET, &primary.ipAddr, text, sizeof text);
        printf("primary IPv4 of interface 3: %s\n", text);
    } else {
        printf("no primary IPv4 of interface 3: %d\n", (int)r);
    }

    uint8_t dest[16];
    Ipam6AddrInfo source;
    inet_pton(AF_INET6, "2001:db8::99", dest);
    r = IPAM6_GetAddrInfoByIfIndexAndAddr(3, dest, &source);
    if (r == IPAM_OK) {
        inet_ntop(AF_INET6, source.ip6Addr, text, sizeof text);
        printf("IPv6 source for 2001:db8::99: %s\n", text);
    }

    return IPAM_UnSubscribeEvent(HOST_MODULE) == 0 && r == IPAM_OK ? 0 : 1;
}
