/*
 * A minimal libipam host: subscribe, print the events, query the replica,
 * unsubscribe. On a workstation the stand-in platform plays the publisher
 * (ipam_platform.h): its table, then the same table again after a restart
 * in which the primary address moved. On the switch the real publisher
 * does, and the part between "play the publisher" and "query" is not there.
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <ipam.h>
#include <ipam_platform.h>

#define HOST_MODULE 42u

/* This host reads attributes (the primary address, the source address), so
 * it asks for the validity events: only with them does a record that comes
 * again with other attributes count as changed. With IPAM4_EVT_ADD |
 * IPAM6_EVT_ADD alone the replica would keep the attributes it first saw,
 * and the query below would still answer 10.0.0.1 after the restart. */
#define HOST_CARE                                                                          \
    (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID | IPAM6_EVT_ADD | \
     IPAM6_EVT_DEL | IPAM6_EVT_VALID | IPAM6_EVT_INVALID)
#define EVT4_RECORD (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID)
#define EVT6_RECORD \
    (IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_VALID | IPAM6_EVT_INVALID | IPAM6_EVT_UPDATE)

static int32_t on_event(uint32_t code, void *record) {
    char text[INET6_ADDRSTRLEN] = "";
    if (code & EVT4_RECORD) {
        const Ipam4AddrInfo *r = record;
        inet_ntop(AF_INET, &r->ipAddr, text, sizeof text); /* network byte order */
        printf("event 0x%x %s on %s\n", (unsigned)code, text, r->ifName);
    } else if (code & EVT6_RECORD) {
        const Ipam6AddrInfo *r = record;
        inet_ntop(AF_INET6, r->ip6Addr, text, sizeof text);
        printf("event 0x%x %s on %s\n", (unsigned)code, text, r->ifName);
    } else {
        printf("event 0x%x\n", (unsigned)code);
    }
    return 0;
}

static Ipam4AddrInfo record4(const char *addr, uint32_t attr) {
    Ipam4AddrInfo r;
    memset(&r, 0, sizeof r);
    r.ifIndex = 3;
    inet_pton(AF_INET, addr, &r.ipAddr);
    inet_pton(AF_INET, "255.255.255.0", &r.ipMask);
    r.ipAttr = attr;
    strcpy(r.ifName, "eth0");
    return r;
}

/* One batch: 10.0.0.1 and 10.0.0.2 on eth0 with these attributes, and r6. */
static void play_batch(uint32_t attr1, uint32_t attr2, const Ipam6AddrInfo *r6) {
    Ipam4AddrInfo a = record4("10.0.0.1", attr1);
    Ipam4AddrInfo b = record4("10.0.0.2", attr2);
    ipamplat_pub_start();
    ipamplat_pub_send((int32_t)IPAM4_EVT_BATCH, sizeof a, &a);
    ipamplat_pub_send((int32_t)IPAM4_EVT_BATCH, sizeof b, &b);
    ipamplat_pub_send((int32_t)IPAM6_EVT_BATCH, sizeof *r6, r6);
    ipamplat_pub_end();
}

static void play_publisher(void) {
    Ipam6AddrInfo r6;
    memset(&r6, 0, sizeof r6);
    r6.ifIndex = 3;
    inet_pton(AF_INET6, "2001:db8::1", r6.ip6Addr);
    IPAM6_Len2Mask(64, r6.ip6Mask);
    r6.ip6Attr = IPAM_ATTR_VALID;
    strcpy(r6.ifName, "eth0");

    play_batch(IPAM4_ATTR_PRIMARY | IPAM_ATTR_VALID, IPAM_ATTR_VALID, &r6);
    printf("publisher restart: the primary address moves to 10.0.0.2\n");
    play_batch(IPAM_ATTR_VALID, IPAM4_ATTR_PRIMARY | IPAM_ATTR_VALID, &r6);
}

int main(void) {
    ipamplat_log_set_stderr(0);
    if (IPAM_SubscribeEvent(1, HOST_MODULE, HOST_CARE, on_event) != 0) {
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
