/*
 * A long-running libipam host, unchanged between the switch and a
 * workstation: it subscribes, prints every event as it comes, prints its
 * replica on SIGUSR1 and unsubscribes on SIGINT or SIGTERM. On a
 * workstation, run it with IPAM_PLATFORM_RUNDIR set and `ipam-sim serve`
 * as its publisher.
 *
 * Lines on stdin send set-address requests to the configuration server:
 *   set4 CODE IFINDEX IFNAME ADDR/LEN      set6 CODE IFINDEX IFNAME ADDR/LEN
 *
 * Usage: live-host [MODULE]   (the host's module number, default 42)
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <ipam.h>
#include <ipam_db.h>

/* The records and their validity: asking for the valid/invalid events
 * brings the interface messages that drive them. */
#define CARE                                                                                     \
    (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID | IPAM4_EVT_IF_VALID |  \
     IPAM4_EVT_IF_INVALID | IPAM6_EVT_ADD | IPAM6_EVT_DEL | IPAM6_EVT_UPDATE | IPAM6_EVT_VALID | \
     IPAM6_EVT_INVALID | IPAM6_EVT_IF_VALID | IPAM6_EVT_IF_INVALID)

static const char *event_name(uint32_t code) {
    switch (code) {
    case IPAM_EVT_BATCH_START:
        return "BATCH_START";
    case IPAM_EVT_BATCH_END:
        return "BATCH_END";
    case IPAM4_EVT_ADD:
        return "ADD4";
    case IPAM4_EVT_DEL:
        return "DEL4";
    case IPAM4_EVT_VALID:
        return "VALID4";
    case IPAM4_EVT_INVALID:
        return "INVALID4";
    case IPAM6_EVT_ADD:
        return "ADD6";
    case IPAM6_EVT_DEL:
        return "DEL6";
    case IPAM6_EVT_UPDATE:
        return "UPDATE6";
    case IPAM6_EVT_VALID:
        return "VALID6";
    case IPAM6_EVT_INVALID:
        return "INVALID6";
    case IPAM_EVT_RELAY:
        return "RELAY";
    default:
        return "OTHER";
    }
}

static int prefix_len(const uint8_t *mask, int bytes) {
    int n = 0;
    for (int i = 0; i < bytes; ++i) n += __builtin_popcount(mask[i]);
    return n;
}

/* "if=3 name=eth0 vrf=0 addr=10.0.0.1/24 attr=0x62" */
static void text4(const Ipam4AddrInfo *r, char *out, size_t size) {
    char a[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &r->ipAddr, a, sizeof a);
    snprintf(out, size, "if=%u name=%.40s vrf=%u addr=%s/%d attr=0x%x", (unsigned)r->ifIndex,
             r->ifName, (unsigned)r->vrfIndex, a, prefix_len((const uint8_t *)&r->ipMask, 4),
             (unsigned)r->ipAttr);
}

static void text6(const Ipam6AddrInfo *r, char *out, size_t size) {
    char a[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, r->ip6Addr, a, sizeof a);
    snprintf(out, size, "if=%u name=%.40s vrf=%u addr=%s/%d attr=0x%x", (unsigned)r->ifIndex,
             r->ifName, (unsigned)r->vrfIndex, a, prefix_len(r->ip6Mask, 16), (unsigned)r->ip6Attr);
}

/* Events arrive on the platform's publisher thread; one write per line. */
static int32_t on_event(uint32_t code, void *record) {
    char rec[200] = "";
    if (record != NULL &&
        (code & (IPAM4_EVT_ADD | IPAM4_EVT_DEL | IPAM4_EVT_VALID | IPAM4_EVT_INVALID)))
        text4(record, rec, sizeof rec);
    else if (record != NULL)
        text6(record, rec, sizeof rec);
    printf("event %s%s%s\n", event_name(code), rec[0] ? " " : "", rec);
    fflush(stdout);
    return 0;
}

static int32_t print4(Ipam4DbNode *node, void *user) {
    char rec[200];
    text4(&node->info, rec, sizeof rec);
    printf("  4 %s\n", rec);
    ++*(int *)user;
    return 0;
}

static int32_t print6(Ipam6DbNode *node, void *user) {
    char rec[200];
    text6(&node->info, rec, sizeof rec);
    printf("  6 %s\n", rec);
    ++*(int *)user;
    return 0;
}

static void print_replica(void) {
    int n = 0;
    printf("replica:\n");
    ipam_DbAddrWalk(NULL, print4, &n, NULL);
    ipam6_DbAddrWalk(NULL, print6, &n, NULL);
    printf("replica: %d records\n", n);
    fflush(stdout);
}

static int32_t on_conf(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d) {
    (void)a, (void)b, (void)c, (void)d;
    return 0;
}

/* "set4 CODE IFINDEX IFNAME ADDR/LEN": a set-address request. */
static void request(const char *line) {
    char verb[8], name[IPAM_IFNAME_SIZE], addr[64];
    int code, len;
    unsigned ifindex;
    if (sscanf(line, "%7s %d %u %39s %63[^/]/%d", verb, &code, &ifindex, name, addr, &len) != 6) {
        printf("request: set4|set6 CODE IFINDEX IFNAME ADDR/LEN\n");
        fflush(stdout);
        return;
    }
    int32_t result = -1;
    if (strcmp(verb, "set4") == 0 && len >= 0 && len <= 32) {
        Ipam4ConfReq q;
        memset(&q, 0, sizeof q);
        q.requestCode = code;
        q.ifIndex = ifindex;
        memcpy(q.ifName, name, strlen(name));
        if (inet_pton(AF_INET, addr, &q.ipAddr) == 1) {
            IPAM4_Len2Mask((uint32_t)len, (uint8_t *)&q.ipMask);
            q.ipAttr = IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID | IPAM4_ATTR_PRIMARY;
            result = IPAM4_SetIpAddr(&q);
        }
    } else if (strcmp(verb, "set6") == 0 && len >= 0 && len <= 128) {
        Ipam6ConfReq q;
        memset(&q, 0, sizeof q);
        q.requestCode = code;
        q.ifIndex = ifindex;
        memcpy(q.ifName, name, strlen(name));
        if (inet_pton(AF_INET6, addr, q.ip6Addr) == 1) {
            IPAM6_Len2Mask((uint32_t)len, q.ip6Mask);
            q.ip6Attr = IPAM_ATTR_IF_VALID | IPAM_ATTR_VALID;
            result = IPAM6_SetIpAddr(&q);
        }
    }
    printf("request %s result %d\n", verb, (int)result);
    fflush(stdout);
}

int main(int argc, char **argv) {
    const uint32_t module = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 42u;
    setvbuf(stdout, NULL, _IOLBF, 0);

    /* Signals are taken from a descriptor; the platform's threads, started
     * below, inherit the blocked mask and never see them. */
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGUSR1);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, NULL);
    int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);
    if (sfd < 0) {
        perror("signalfd");
        return 1;
    }

    if (IPAM_SubscribeEvent(1, module, CARE, on_event) != IPAM_OK) {
        fprintf(stderr, "live-host: subscription refused\n");
        return 1;
    }
    IPAM_InitConf(0, 0, on_conf);
    printf("live-host pid %d subscribed as module %u\n", (int)getpid(), (unsigned)module);

    struct pollfd fds[2] = {{sfd, POLLIN, 0}, {0, POLLIN, 0}};
    char line[256];
    size_t used = 0;
    for (;;) {
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[0].revents & POLLIN) {
            struct signalfd_siginfo si;
            if (read(sfd, &si, sizeof si) == sizeof si) {
                if (si.ssi_signo == SIGUSR1) {
                    print_replica();
                    continue;
                }
                break;
            }
        }
        if (fds[1].revents) {
            ssize_t n = read(0, line + used, sizeof line - 1 - used);
            if (n <= 0) {
                fds[1].fd = -1; /* stdin closed: keep running until a signal */
                continue;
            }
            used += (size_t)n;
            line[used] = '\0';
            char *nl;
            while ((nl = strchr(line, '\n')) != NULL) {
                *nl = '\0';
                request(line);
                used -= (size_t)(nl + 1 - line);
                memmove(line, nl + 1, used + 1);
            }
            if (used == sizeof line - 1) used = 0; /* an over-long line is dropped */
        }
    }
    IPAM_FiniConf();
    IPAM_UnSubscribeEvent(module);
    printf("live-host unsubscribed\n");
    return 0;
}
