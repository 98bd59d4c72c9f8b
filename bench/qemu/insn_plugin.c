/* Instruction counter for qemu-arm (user mode): adds each translated block's
 * instruction count to one total every time the block runs, and prints the
 * total as "insns N" on standard error when the program ends.
 *
 * Debian's qemu-user is built with plugin support but ships neither the
 * example plugins nor the plugin header, so the few entry points used here
 * are declared by hand from QEMU's documented plugin API (API version 1, as
 * in QEMU 7.x). Inline counting keeps the emulation fast: no callback per
 * block. */
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>

#define PLUGIN_EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
typedef struct qemu_info_t qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 = 0 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
void qemu_plugin_outs(const char *string);

PLUGIN_EXPORT int qemu_plugin_version = 1;

/* One guest thread is counted at a time by the driver; the inline add is not
 * atomic across vCPUs, which does not matter for a single-threaded program. */
static uint64_t insn_total;

static void tb_trans(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &insn_total,
                                             qemu_plugin_tb_n_insns(tb));
}

static void at_exit(qemu_plugin_id_t id, void *userdata) {
    (void)id;
    (void)userdata;
    char line[64];
    snprintf(line, sizeof line, "insns %" PRIu64 "\n", insn_total);
    qemu_plugin_outs(line);
}

PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                      char **argv) {
    (void)info;
    (void)argc;
    (void)argv;
    qemu_plugin_register_vcpu_tb_trans_cb(id, tb_trans);
    qemu_plugin_register_atexit_cb(id, at_exit, NULL);
    return 0;
}
