// SPDX-License-Identifier: GPL-2.0
/*
 * Board support of the handheld, for a virtual machine.
 *
 * Registers what the board adds to a stock kernel, at the places the
 * firmware expects them (mpsim/board.h, the board's header, gives every
 * number and name):
 *
 *  - the GPIO controller, its lines at their fixed numbers: USB detect, the
 *    panel's tearing-effect (TE) output, the board's audio enable output,
 *    headphone detect and the gamepad keys (a pressed key reads 0);
 *  - the panel: a framebuffer of its own, an "update" attribute that pushes
 *    the visible window to the glass and "lcdporch" that sets the panel's
 *    porch; the panel refreshes at clock / (lines + porch) frames per second
 *    and gives one TE edge per refresh;
 *  - a PWM chip with one channel, the backlight;
 *  - the battery and volume wheel converters;
 *  - the keys' platform device, for the kernel's polled GPIO key driver.
 *
 * The outside world of the board (the operator's keys, the detect plugs, the
 * battery, the panel's pixel clock) and the glass itself (each push as the
 * panel received it) are reached through debugfs, "handheld_board/", and,
 * for the state at power-on, through module parameters.
 */

#include <linux/debugfs.h>
#include <linux/fb.h>
#include <linux/gpio.h>
#include <linux/gpio/driver.h>
#include <linux/gpio_keys.h>
#include <linux/hrtimer.h>
#include <linux/input.h>
#include <linux/interrupt.h>
#include <linux/irq.h>
#include <linux/kobject.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/pwm.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/sysfs.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <linux/wait.h>

#include <mpsim/board.h>

#define FB_LINE_BYTES		(BOARD_FB_WIDTH * BOARD_FB_BYTES_PER_PIXEL)
#define FB_BYTES		(FB_LINE_BYTES * BOARD_FB_HEIGHT)
#define GLASS_BYTES		(BOARD_GLASS_PIXELS * BOARD_FB_BYTES_PER_PIXEL)
#define GLASS_RING		32	/* pushes kept until debugfs reads them */

/* One push as debugfs hands it out: the record, then the pixels. */
struct glass_slot {
	struct board_push head;
	u8 px[GLASS_BYTES];
};

struct handheld_board {
	struct device *soc;
	struct platform_device *pdev[5];
	struct platform_device *keys;
	struct dentry *debug;

	/* GPIO lines, behind lock (the TE timer touches them). */
	spinlock_t lock;
	struct gpio_chip gc;
	DECLARE_BITMAP(level, BOARD_GPIO_LINES);	/* what an input line reads */
	DECLARE_BITMAP(is_out, BOARD_GPIO_LINES);
	DECLARE_BITMAP(drive, BOARD_GPIO_LINES);	/* what an output drives */
	DECLARE_BITMAP(irq_on, BOARD_GPIO_LINES);
	DECLARE_BITMAP(rise_due, BOARD_GPIO_LINES);	/* edges from level changes */
	DECLARE_BITMAP(fall_due, BOARD_GPIO_LINES);
	unsigned int irq_type[BOARD_GPIO_LINES];
	struct hrtimer edge_timer;

	/* Panel timing, behind lock: rising TE edges at
	 * te_epoch + round(k * (lines + porch) / clock), k >= 1.
	 */
	int porch;
	int te_clock;
	bool te_stopped;
	bool te_high;
	ktime_t te_epoch;
	u64 te_k;
	struct hrtimer te_timer;

	atomic_t adc_vol;
	atomic_t adc_bat;

	struct pwm_chip pwm;
	struct pwm_state backlight;

	struct fb_info *fb;
	void *vmem;
	struct kobject *screen_update;

	/* Pushes to the glass. */
	struct mutex glass_lock;
	wait_queue_head_t glass_wait;
	struct glass_slot *ring;
	unsigned int ring_head, ring_tail;
	u32 pushes;
	u32 dropped;
};

static struct handheld_board board;

/* ---- state at power-on ------------------------------------------------- */

static int low_lines[BOARD_GPIO_LINES];
static int n_low_lines;
module_param_array_named(low, low_lines, int, &n_low_lines, 0444);
MODULE_PARM_DESC(low, "input lines held low at power-on (pressed keys, detect lines at 0)");

static int vol_adc = BOARD_FRESH_VOLUME_RAW;
module_param(vol_adc, int, 0444);
MODULE_PARM_DESC(vol_adc, "volume wheel reading at power-on");

static int bat_adc = BOARD_FRESH_BATTERY_RAW;
module_param(bat_adc, int, 0444);
MODULE_PARM_DESC(bat_adc, "battery reading at power-on");

static int te_clock = BOARD_TE_CLOCK;
module_param(te_clock, int, 0444);
MODULE_PARM_DESC(te_clock, "panel clock: refresh rate = clock / (lines + porch)");

static bool te_stopped;
module_param(te_stopped, bool, 0444);
MODULE_PARM_DESC(te_stopped, "the panel gives no TE edges at power-on");

/* ---- GPIO controller --------------------------------------------------- */

static int board_gpio_request(struct gpio_chip *gc, unsigned int offset)
{
	return 0;
}

static int board_gpio_get_direction(struct gpio_chip *gc, unsigned int offset)
{
	return test_bit(offset, board.is_out) ? GPIO_LINE_DIRECTION_OUT :
						 GPIO_LINE_DIRECTION_IN;
}

static int board_gpio_get(struct gpio_chip *gc, unsigned int offset)
{
	unsigned long flags;
	int v;

	spin_lock_irqsave(&board.lock, flags);
	v = test_bit(offset, board.is_out) ? test_bit(offset, board.drive) :
					      test_bit(offset, board.level);
	spin_unlock_irqrestore(&board.lock, flags);
	return v;
}

static void board_gpio_set(struct gpio_chip *gc, unsigned int offset, int value)
{
	unsigned long flags;

	spin_lock_irqsave(&board.lock, flags);
	__assign_bit(offset, board.drive, value);
	spin_unlock_irqrestore(&board.lock, flags);
}

static int board_gpio_direction_input(struct gpio_chip *gc,
				      unsigned int offset)
{
	unsigned long flags;

	spin_lock_irqsave(&board.lock, flags);
	__clear_bit(offset, board.is_out);
	spin_unlock_irqrestore(&board.lock, flags);
	return 0;
}

static int board_gpio_direction_output(struct gpio_chip *gc,
				       unsigned int offset, int value)
{
	unsigned long flags;

	spin_lock_irqsave(&board.lock, flags);
	__assign_bit(offset, board.drive, value);
	__set_bit(offset, board.is_out);
	spin_unlock_irqrestore(&board.lock, flags);
	return 0;
}

static int board_gpio_init_valid_mask(struct gpio_chip *gc,
				      unsigned long *valid, unsigned int ngpios)
{
	int i;

	bitmap_zero(valid, ngpios);
	for (i = 0; i < ARRAY_SIZE(board_lines); i++)
		__set_bit(board_lines[i], valid);
	return 0;
}

static void board_irq_mask(struct irq_data *d)
{
	struct gpio_chip *gc = irq_data_get_irq_chip_data(d);

	clear_bit(irqd_to_hwirq(d), board.irq_on);
	gpiochip_disable_irq(gc, irqd_to_hwirq(d));
}

static void board_irq_unmask(struct irq_data *d)
{
	struct gpio_chip *gc = irq_data_get_irq_chip_data(d);

	gpiochip_enable_irq(gc, irqd_to_hwirq(d));
	set_bit(irqd_to_hwirq(d), board.irq_on);
}

static int board_irq_set_type(struct irq_data *d, unsigned int type)
{
	/* The controller latches edges only. */
	if (type & IRQ_TYPE_LEVEL_MASK)
		return -EINVAL;
	board.irq_type[irqd_to_hwirq(d)] = type;
	return 0;
}

static const struct irq_chip board_irq_chip = {
	.name = "handheld-gpio",
	.irq_mask = board_irq_mask,
	.irq_unmask = board_irq_unmask,
	.irq_set_type = board_irq_set_type,
	.flags = IRQCHIP_IMMUTABLE | IRQCHIP_SKIP_SET_WAKE,
	GPIOCHIP_IRQ_RESOURCE_HELPERS,
};

/* Hard interrupt context (the board's timers). */
static void board_edge(unsigned int line, bool rising)
{
	unsigned int want = rising ? IRQ_TYPE_EDGE_RISING :
				     IRQ_TYPE_EDGE_FALLING;

	if (test_bit(line, board.irq_on) && (board.irq_type[line] & want))
		generic_handle_domain_irq(board.gc.irq.domain, line);
}

static enum hrtimer_restart board_edge_tick(struct hrtimer *t)
{
	DECLARE_BITMAP(rise, BOARD_GPIO_LINES);
	DECLARE_BITMAP(fall, BOARD_GPIO_LINES);
	unsigned int line;

	spin_lock(&board.lock);
	bitmap_copy(rise, board.rise_due, BOARD_GPIO_LINES);
	bitmap_copy(fall, board.fall_due, BOARD_GPIO_LINES);
	bitmap_zero(board.rise_due, BOARD_GPIO_LINES);
	bitmap_zero(board.fall_due, BOARD_GPIO_LINES);
	spin_unlock(&board.lock);

	for_each_set_bit(line, rise, BOARD_GPIO_LINES)
		board_edge(line, true);
	for_each_set_bit(line, fall, BOARD_GPIO_LINES)
		board_edge(line, false);
	return HRTIMER_NORESTART;
}

/* The outside world sets an input line; its edge interrupts as on the pin. */
static int board_set_level(unsigned int line, int value)
{
	unsigned long flags;
	bool changed;

	if (line >= BOARD_GPIO_LINES || line == BOARD_GPIO_TE ||
	    !gpiochip_line_is_valid(&board.gc, line))
		return -EINVAL;
	spin_lock_irqsave(&board.lock, flags);
	changed = test_bit(line, board.level) != !!value;
	__assign_bit(line, board.level, value);
	if (changed && !test_bit(line, board.is_out))
		__set_bit(line, value ? board.rise_due : board.fall_due);
	spin_unlock_irqrestore(&board.lock, flags);
	if (changed)
		hrtimer_start(&board.edge_timer, 0, HRTIMER_MODE_REL_HARD);
	return 0;
}

/* ---- panel timing (TE) ------------------------------------------------- */

/* lock held */
static bool te_running(void)
{
	return !board.te_stopped && board.te_clock > 0 &&
	       BOARD_PANEL_LINES + board.porch > 0;
}

/* lock held; time of the k-th rising edge after the epoch */
static ktime_t te_edge_time(u64 k)
{
	u64 lines = BOARD_PANEL_LINES + board.porch;
	u64 ns = div_u64(k * lines * NSEC_PER_SEC + board.te_clock / 2,
			 board.te_clock);

	return ktime_add_ns(board.te_epoch, ns);
}

/*
 * lock held; the porch, the clock or the stopped state is about to change:
 * the new timing starts at the last rising edge, or now when the panel was
 * stopped.
 */
static void te_rebase(ktime_t now)
{
	if (te_running())
		board.te_epoch = te_edge_time(board.te_k);
	else
		board.te_epoch = now;
	board.te_k = 0;
}

/* lock held; after a change of timing */
static void te_restart(void)
{
	board.te_high = false;
	clear_bit(BOARD_GPIO_TE, board.level);
	if (te_running())
		hrtimer_start(&board.te_timer, te_edge_time(1),
			      HRTIMER_MODE_ABS_HARD);
	else
		hrtimer_try_to_cancel(&board.te_timer);
}

/*
 * Each tick is a rising or a falling edge of TE. The timer re-arms itself
 * under the lock, so a change of timing racing with a tick on another CPU
 * only makes that tick early: it then waits for the edge the new timing
 * gives.
 */
static enum hrtimer_restart board_te_tick(struct hrtimer *t)
{
	ktime_t now = hrtimer_cb_get_time(t);
	ktime_t next;
	bool edge = true;
	bool rising;

	spin_lock(&board.lock);
	if (!te_running()) {
		spin_unlock(&board.lock);
		return HRTIMER_NORESTART;
	}
	rising = !board.te_high;
	if (rising && ktime_before(now, te_edge_time(board.te_k + 1))) {
		edge = false;
		next = te_edge_time(board.te_k + 1);
	} else if (rising) {
		/* A late tick catches up rather than bursting edges out. */
		do {
			board.te_k++;
		} while (!ktime_after(te_edge_time(board.te_k + 1), now));
		next = ktime_add_ns(te_edge_time(board.te_k),
				    min_t(s64, BOARD_TE_PULSE_NS,
					  ktime_to_ns(ktime_sub(
						  te_edge_time(board.te_k + 1),
						  te_edge_time(board.te_k))) / 2));
		set_bit(BOARD_GPIO_TE, board.level);
		board.te_high = true;
	} else {
		next = te_edge_time(board.te_k + 1);
		clear_bit(BOARD_GPIO_TE, board.level);
		board.te_high = false;
	}
	hrtimer_start(t, next, HRTIMER_MODE_ABS_HARD);
	spin_unlock(&board.lock);

	if (edge && !test_bit(BOARD_GPIO_TE, board.is_out))
		board_edge(BOARD_GPIO_TE, rising);
	return HRTIMER_NORESTART;
}

static void te_set(int porch, int clock, bool stopped)
{
	unsigned long flags;

	spin_lock_irqsave(&board.lock, flags);
	te_rebase(ktime_get());
	board.porch = porch;
	board.te_clock = clock;
	board.te_stopped = stopped;
	te_restart();
	spin_unlock_irqrestore(&board.lock, flags);
}

/* ---- the glass --------------------------------------------------------- */

static void glass_push(void)
{
	struct glass_slot *s;

	mutex_lock(&board.glass_lock);
	board.pushes++;
	if (board.ring_head - board.ring_tail == GLASS_RING) {
		board.ring_tail++;
		board.dropped++;
	}
	s = &board.ring[board.ring_head % GLASS_RING];
	s->head.magic = BOARD_PUSH_MAGIC;
	s->head.push = board.pushes;
	s->head.time_ns = ktime_get_ns();
	s->head.width = BOARD_GLASS_WIDTH;
	s->head.height = BOARD_GLASS_HEIGHT;
	s->head.dropped = board.dropped;
	memcpy(s->px, board.vmem + BOARD_GLASS_FIRST_ROW * FB_LINE_BYTES,
	       GLASS_BYTES);
	board.ring_head++;
	mutex_unlock(&board.glass_lock);
	wake_up_interruptible(&board.glass_wait);
}

static ssize_t update_show(struct kobject *kobj, struct kobj_attribute *attr,
			   char *buf)
{
	return sysfs_emit(buf, "%u\n", READ_ONCE(board.pushes));
}

/* Whatever is written, the panel takes the window as it is now. */
static ssize_t update_store(struct kobject *kobj, struct kobj_attribute *attr,
			    const char *buf, size_t count)
{
	glass_push();
	return count;
}

static ssize_t lcdporch_show(struct kobject *kobj,
			     struct kobj_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%d\n", READ_ONCE(board.porch));
}

/*
 * The porch as a three-character field of decimal text ("24" and a zero
 * byte); the panel takes what the digits give.
 */
static ssize_t lcdporch_store(struct kobject *kobj,
			      struct kobj_attribute *attr, const char *buf,
			      size_t count)
{
	char field[4] = { };

	memcpy(field, buf, min_t(size_t, count, 3));
	te_set((int)simple_strtol(skip_spaces(field), NULL, 10),
	       READ_ONCE(board.te_clock), READ_ONCE(board.te_stopped));
	return count;
}

static struct kobj_attribute update_attr = {
	.attr = { .name = BOARD_PANEL_UPDATE_ATTR, .mode = 0644 },
	.show = update_show,
	.store = update_store,
};
static struct kobj_attribute lcdporch_attr = {
	.attr = { .name = BOARD_PANEL_PORCH_ATTR, .mode = 0644 },
	.show = lcdporch_show,
	.store = lcdporch_store,
};

static struct attribute *screen_update_attrs[] = {
	&update_attr.attr,
	&lcdporch_attr.attr,
	NULL,
};

static const struct attribute_group screen_update_group = {
	.attrs = screen_update_attrs,
};

static int board_fb_mmap(struct fb_info *info, struct vm_area_struct *vma)
{
	return remap_vmalloc_range(vma, info->screen_buffer, vma->vm_pgoff);
}

static const struct fb_ops board_fb_ops = {
	.owner = THIS_MODULE,
	.fb_read = fb_sys_read,
	.fb_write = fb_sys_write,
	.fb_fillrect = sys_fillrect,
	.fb_copyarea = sys_copyarea,
	.fb_imageblit = sys_imageblit,
	.fb_mmap = board_fb_mmap,
};

static void board_panel_release(void *data)
{
	if (board.screen_update) {
		sysfs_remove_group(board.screen_update, &screen_update_group);
		kobject_put(board.screen_update);
	}
	if (board.fb) {
		unregister_framebuffer(board.fb);
		framebuffer_release(board.fb);
	}
	vfree(board.vmem);
	vfree(board.ring);
}

static int board_panel_probe(struct platform_device *pdev)
{
	static u32 pseudo_palette[16];
	struct fb_info *info;
	int ret;

	ret = devm_add_action(&pdev->dev, board_panel_release, NULL);
	if (ret)
		return ret;
	board.vmem = vmalloc_user(FB_BYTES);
	board.ring = vzalloc(sizeof(*board.ring) * GLASS_RING);
	if (!board.vmem || !board.ring)
		return -ENOMEM;

	info = framebuffer_alloc(0, &pdev->dev);
	if (!info)
		return -ENOMEM;
	board.fb = info;
	strscpy(info->fix.id, "handheld-lcd", sizeof(info->fix.id));
	info->fix.type = FB_TYPE_PACKED_PIXELS;
	info->fix.visual = FB_VISUAL_TRUECOLOR;
	info->fix.line_length = FB_LINE_BYTES;
	info->fix.smem_len = FB_BYTES;
	info->fix.accel = FB_ACCEL_NONE;
	info->var.xres = info->var.xres_virtual = BOARD_FB_WIDTH;
	info->var.yres = info->var.yres_virtual = BOARD_FB_HEIGHT;
	info->var.bits_per_pixel = BOARD_FB_BYTES_PER_PIXEL * 8;
	info->var.transp = (struct fb_bitfield){ 24, 8, 0 };
	info->var.red = (struct fb_bitfield){ 16, 8, 0 };
	info->var.green = (struct fb_bitfield){ 8, 8, 0 };
	info->var.blue = (struct fb_bitfield){ 0, 8, 0 };
	info->var.activate = FB_ACTIVATE_NOW;
	info->var.height = -1;
	info->var.width = -1;
	info->fbops = &board_fb_ops;
	info->screen_buffer = board.vmem;
	info->screen_size = info->fix.smem_len;
	info->pseudo_palette = pseudo_palette;
	info->flags = FBINFO_DEFAULT | FBINFO_VIRTFB;
	ret = register_framebuffer(info);
	if (ret) {
		framebuffer_release(info);
		board.fb = NULL;
		return ret;
	}

	board.screen_update = kobject_create_and_add(BOARD_PANEL_KOBJ,
						     kernel_kobj);
	if (!board.screen_update)
		return -ENOMEM;
	ret = sysfs_create_group(board.screen_update, &screen_update_group);
	if (ret) {
		kobject_put(board.screen_update);
		board.screen_update = NULL;
	}
	return ret;
}

/* ---- backlight PWM ----------------------------------------------------- */

static int board_pwm_apply(struct pwm_chip *chip, struct pwm_device *pwm,
			   const struct pwm_state *state)
{
	board.backlight = *state;
	return 0;
}

static int board_pwm_get_state(struct pwm_chip *chip, struct pwm_device *pwm,
			       struct pwm_state *state)
{
	*state = board.backlight;
	return 0;
}

static const struct pwm_ops board_pwm_ops = {
	.apply = board_pwm_apply,
	.get_state = board_pwm_get_state,
	.owner = THIS_MODULE,
};

static int board_pwm_probe(struct platform_device *pdev)
{
	/* The boot loader leaves the backlight on at full duty. */
	board.backlight.period = BOARD_BACKLIGHT_PERIOD_NS;
	board.backlight.duty_cycle = BOARD_BACKLIGHT_PERIOD_NS;
	board.backlight.polarity = PWM_POLARITY_NORMAL;
	board.backlight.enabled = true;
	board.pwm.dev = &pdev->dev;
	board.pwm.ops = &board_pwm_ops;
	board.pwm.npwm = 1;
	return devm_pwmchip_add(&pdev->dev, &board.pwm);
}

/* ---- converters -------------------------------------------------------- */

/* The battery's reading file or the volume wheel's, by its name. */
static ssize_t adc_show(struct device *dev, struct device_attribute *attr,
			char *buf)
{
	bool battery = !strcmp(attr->attr.name, BOARD_ADC_BATTERY_ATTR);

	return sysfs_emit(buf, "%d\n",
			  atomic_read(battery ? &board.adc_bat : &board.adc_vol));
}

static struct device_attribute dev_attr_adc = {
	.attr = { .name = BOARD_ADC_BATTERY_ATTR, .mode = 0444 },
	.show = adc_show,
};
static struct device_attribute dev_attr_value = {
	.attr = { .name = BOARD_ADC_VOLUME_ATTR, .mode = 0444 },
	.show = adc_show,
};

static struct attribute *battery_attrs[] = { &dev_attr_adc.attr, NULL };
static struct attribute *tp_adc_attrs[] = { &dev_attr_value.attr, NULL };
static const struct attribute_group battery_group = { .attrs = battery_attrs };
static const struct attribute_group tp_adc_group = { .attrs = tp_adc_attrs };

static int board_gpio_probe(struct platform_device *pdev)
{
	struct gpio_irq_chip *girq = &board.gc.irq;

	board.gc.label = "handheld-gpio";
	board.gc.parent = &pdev->dev;
	board.gc.owner = THIS_MODULE;
	board.gc.base = 0;
	board.gc.ngpio = BOARD_GPIO_LINES;
	board.gc.request = board_gpio_request;
	board.gc.get_direction = board_gpio_get_direction;
	board.gc.direction_input = board_gpio_direction_input;
	board.gc.direction_output = board_gpio_direction_output;
	board.gc.get = board_gpio_get;
	board.gc.set = board_gpio_set;
	board.gc.init_valid_mask = board_gpio_init_valid_mask;
	gpio_irq_chip_set_chip(girq, &board_irq_chip);
	girq->handler = handle_simple_irq;
	girq->default_type = IRQ_TYPE_NONE;
	return devm_gpiochip_add_data(&pdev->dev, &board.gc, &board);
}

enum board_function { FN_GPIO, FN_PANEL, FN_PWM, FN_BATTERY, FN_TP_ADC };

static int board_probe(struct platform_device *pdev)
{
	switch (platform_get_device_id(pdev)->driver_data) {
	case FN_GPIO:
		return board_gpio_probe(pdev);
	case FN_PANEL:
		return board_panel_probe(pdev);
	case FN_PWM:
		return board_pwm_probe(pdev);
	case FN_BATTERY:
		return devm_device_add_group(&pdev->dev, &battery_group);
	case FN_TP_ADC:
		return devm_device_add_group(&pdev->dev, &tp_adc_group);
	}
	return -ENODEV;
}

static const struct platform_device_id board_ids[] = {
	{ "gpio", FN_GPIO },
	{ "lcd", FN_PANEL },
	{ BOARD_PWM_DEV, FN_PWM },
	{ BOARD_ADC_BATTERY_DEV, FN_BATTERY },
	{ BOARD_ADC_VOLUME_DEV, FN_TP_ADC },
	{ }
};
MODULE_DEVICE_TABLE(platform, board_ids);

static struct platform_driver board_driver = {
	.driver = { .name = "handheld-board" },
	.probe = board_probe,
	.id_table = board_ids,
};

/* ---- keys -------------------------------------------------------------- */

/* The input event each key gives, in the order of board_keys. */
static const unsigned int board_key_codes[BOARD_KEY_COUNT] = {
	BTN_DPAD_UP, BTN_DPAD_RIGHT, BTN_DPAD_DOWN, BTN_DPAD_LEFT,
	BTN_START, BTN_SOUTH, BTN_EAST,
};

static struct gpio_keys_button board_buttons[BOARD_KEY_COUNT];

static struct gpio_keys_platform_data board_keys_data = {
	.buttons = board_buttons,
	.nbuttons = ARRAY_SIZE(board_buttons),
	.poll_interval = 20,
	.name = "gamepad",
};

static int board_add_keys(void)
{
	static const char driver[] = BOARD_KEYS_DRIVER;
	struct platform_device *pdev;
	int i, ret;

	for (i = 0; i < BOARD_KEY_COUNT; i++) {
		board_buttons[i].code = board_key_codes[i];
		board_buttons[i].gpio = board_keys[i].gpio;
		board_buttons[i].active_low = 1;
		board_buttons[i].desc = board_keys[i].name;
	}
	pdev = platform_device_alloc(BOARD_KEYS_PDEV_NAME, BOARD_KEYS_PDEV_ID);
	if (!pdev)
		return -ENOMEM;
	ret = platform_device_add_data(pdev, &board_keys_data,
				       sizeof(board_keys_data));
	if (!ret)
		ret = driver_set_override(&pdev->dev, &pdev->driver_override,
					  driver, sizeof(driver) - 1);
	if (!ret)
		ret = platform_device_add(pdev);
	if (ret) {
		platform_device_put(pdev);
		return ret;
	}
	board.keys = pdev;
	return 0;
}

/* ---- the outside world (debugfs) --------------------------------------- */

/* "levels": read every line; write "LINE LEVEL" pairs for input lines. */
static int levels_show(struct seq_file *s, void *unused)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(board_lines); i++) {
		unsigned int line = board_lines[i];

		seq_printf(s, "%u %s %d\n", line,
			   test_bit(line, board.is_out) ? "out" : "in",
			   board_gpio_get(&board.gc, line));
	}
	return 0;
}

static int levels_open(struct inode *inode, struct file *file)
{
	return single_open(file, levels_show, NULL);
}

static ssize_t levels_write(struct file *file, const char __user *ubuf,
			    size_t len, loff_t *ppos)
{
	char buf[256], *p, *tok;
	unsigned int line, value;
	int ret;

	if (len >= sizeof(buf))
		return -EINVAL;
	if (copy_from_user(buf, ubuf, len))
		return -EFAULT;
	buf[len] = '\0';
	p = buf;
	for (;;) {
		tok = strsep(&p, " \t\n");
		if (!tok)
			break;
		if (!*tok)
			continue;
		if (kstrtouint(tok, 10, &line))
			return -EINVAL;
		do {
			tok = strsep(&p, " \t\n");
		} while (tok && !*tok);
		if (!tok || kstrtouint(tok, 10, &value))
			return -EINVAL;
		ret = board_set_level(line, value);
		if (ret)
			return ret;
	}
	return len;
}

static const struct file_operations levels_fops = {
	.owner = THIS_MODULE,
	.open = levels_open,
	.read = seq_read,
	.llseek = seq_lseek,
	.release = single_release,
	.write = levels_write,
};

/* A converter's reading; data is its atomic_t in the board. */
static int adc_get(void *data, u64 *val)
{
	*val = (s64)atomic_read(data);
	return 0;
}

static int adc_set(void *data, u64 val)
{
	atomic_set(data, (int)(s64)val);
	return 0;
}

static int te_clock_get(void *data, u64 *val)
{
	*val = READ_ONCE(board.te_clock);
	return 0;
}

static int te_clock_set(void *data, u64 val)
{
	te_set(READ_ONCE(board.porch), (int)val, READ_ONCE(board.te_stopped));
	return 0;
}

static int te_stopped_get(void *data, u64 *val)
{
	*val = READ_ONCE(board.te_stopped);
	return 0;
}

static int te_stopped_set(void *data, u64 val)
{
	te_set(READ_ONCE(board.porch), READ_ONCE(board.te_clock), val != 0);
	return 0;
}

DEFINE_DEBUGFS_ATTRIBUTE(adc_fops, adc_get, adc_set, "%lld\n");
DEFINE_DEBUGFS_ATTRIBUTE(te_clock_fops, te_clock_get, te_clock_set, "%llu\n");
DEFINE_DEBUGFS_ATTRIBUTE(te_stopped_fops, te_stopped_get, te_stopped_set,
			 "%llu\n");

/* "glass": each read returns one push (struct board_push, then pixels). */
static ssize_t glass_read(struct file *file, char __user *ubuf, size_t len,
			  loff_t *ppos)
{
	struct glass_slot *s;
	ssize_t ret;

	if (len < sizeof(*s))
		return -EINVAL;
	for (;;) {
		mutex_lock(&board.glass_lock);
		if (board.ring_head != board.ring_tail)
			break;
		mutex_unlock(&board.glass_lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		ret = wait_event_interruptible(board.glass_wait,
				READ_ONCE(board.ring_head) !=
				READ_ONCE(board.ring_tail));
		if (ret)
			return ret;
	}
	s = &board.ring[board.ring_tail % GLASS_RING];
	ret = copy_to_user(ubuf, s, sizeof(*s)) ? -EFAULT : sizeof(*s);
	if (ret > 0)
		board.ring_tail++;
	mutex_unlock(&board.glass_lock);
	return ret;
}

static __poll_t glass_poll(struct file *file, poll_table *wait)
{
	poll_wait(file, &board.glass_wait, wait);
	return READ_ONCE(board.ring_head) != READ_ONCE(board.ring_tail) ?
		       EPOLLIN | EPOLLRDNORM : 0;
}

static const struct file_operations glass_fops = {
	.owner = THIS_MODULE,
	.read = glass_read,
	.poll = glass_poll,
	.llseek = no_llseek,
};

static void board_debugfs_init(void)
{
	struct dentry *d = debugfs_create_dir(BOARD_DEBUGFS_DIR, NULL);

	board.debug = d;
	debugfs_create_file(BOARD_DEBUGFS_LEVELS, 0600, d, NULL, &levels_fops);
	debugfs_create_file_unsafe(BOARD_DEBUGFS_VOL_ADC, 0600, d,
				   &board.adc_vol, &adc_fops);
	debugfs_create_file_unsafe(BOARD_DEBUGFS_BAT_ADC, 0600, d,
				   &board.adc_bat, &adc_fops);
	debugfs_create_file_unsafe(BOARD_DEBUGFS_TE_CLOCK, 0600, d, NULL,
				   &te_clock_fops);
	debugfs_create_file_unsafe(BOARD_DEBUGFS_TE_STOPPED, 0600, d, NULL,
				   &te_stopped_fops);
	debugfs_create_u32(BOARD_DEBUGFS_PUSHES, 0400, d, &board.pushes);
	debugfs_create_file(BOARD_DEBUGFS_GLASS, 0400, d, NULL, &glass_fops);
}

/* ---- board set-up ------------------------------------------------------ */

static void board_remove_devices(void)
{
	int i;

	if (board.keys)
		platform_device_unregister(board.keys);
	for (i = ARRAY_SIZE(board.pdev) - 1; i >= 0; i--)
		if (!IS_ERR_OR_NULL(board.pdev[i]))
			platform_device_unregister(board.pdev[i]);
}

static int __init handheld_board_init(void)
{
	static const char *const names[] = {
		"gpio", "lcd", BOARD_PWM_DEV, BOARD_ADC_BATTERY_DEV,
		BOARD_ADC_VOLUME_DEV,
	};
	int i, ret;

	spin_lock_init(&board.lock);
	mutex_init(&board.glass_lock);
	init_waitqueue_head(&board.glass_wait);
	hrtimer_init(&board.te_timer, CLOCK_MONOTONIC, HRTIMER_MODE_ABS_HARD);
	board.te_timer.function = board_te_tick;
	hrtimer_init(&board.edge_timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL_HARD);
	board.edge_timer.function = board_edge_tick;

	/* Inputs idle as a fresh board has them: keys released, detect lines
	 * at their idle level.
	 */
	for (i = 0; i < BOARD_KEY_COUNT; i++)
		__assign_bit(board_keys[i].gpio, board.level,
			     BOARD_FRESH_KEY_LEVEL);
	__assign_bit(BOARD_GPIO_USB_DETECT, board.level,
		     BOARD_FRESH_DETECT_LEVEL);
	__assign_bit(BOARD_GPIO_HEADPHONE_DETECT, board.level,
		     BOARD_FRESH_DETECT_LEVEL);
	for (i = 0; i < n_low_lines; i++)
		if (low_lines[i] >= 0 && low_lines[i] < BOARD_GPIO_LINES)
			__clear_bit(low_lines[i], board.level);
	atomic_set(&board.adc_vol, vol_adc);
	atomic_set(&board.adc_bat, bat_adc);
	board.porch = BOARD_PORCH;
	board.te_clock = te_clock;
	board.te_stopped = te_stopped;

	board.soc = root_device_register("soc");
	if (IS_ERR(board.soc))
		return PTR_ERR(board.soc);
	ret = platform_driver_register(&board_driver);
	if (ret)
		goto err_soc;
	for (i = 0; i < ARRAY_SIZE(names); i++) {
		struct platform_device_info info = {
			.parent = board.soc,
			.name = names[i],
			.id = PLATFORM_DEVID_NONE,
		};

		board.pdev[i] = platform_device_register_full(&info);
		if (IS_ERR(board.pdev[i])) {
			ret = PTR_ERR(board.pdev[i]);
			goto err_devices;
		}
		if (!board.pdev[i]->dev.driver) {
			ret = -ENODEV;
			goto err_devices;
		}
	}
	ret = board_add_keys();
	if (ret)
		goto err_devices;

	board_debugfs_init();
	spin_lock_irq(&board.lock);
	te_rebase(ktime_get());
	te_restart();
	spin_unlock_irq(&board.lock);
	return 0;

err_devices:
	board_remove_devices();
	platform_driver_unregister(&board_driver);
err_soc:
	root_device_unregister(board.soc);
	return ret;
}

static void __exit handheld_board_exit(void)
{
	debugfs_remove_recursive(board.debug);
	hrtimer_cancel(&board.te_timer);
	hrtimer_cancel(&board.edge_timer);
	board_remove_devices();
	platform_driver_unregister(&board_driver);
	root_device_unregister(board.soc);
}

module_init(handheld_board_init);
module_exit(handheld_board_exit);

MODULE_DESCRIPTION("Handheld board: GPIO, panel, backlight, converters, keys");
MODULE_LICENSE("GPL");
