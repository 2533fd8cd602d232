// The emulated device's panel whose driver reports blue-first 5-6-5 (red in
// bits 0-4, blue in 11-15), a layout no simple-framebuffer format names: a
// framebuffer over the board's video RAM, rows stride bytes apart. Built
// against the device kernel's headers by zqdevice.py; never on a device.
#include <linux/fb.h>
#include <linux/io.h>
#include <linux/module.h>

static unsigned long base = 0x4C000000;
static unsigned int width = 640;
static unsigned int height = 480;
static unsigned int stride = 1280;
module_param(base, ulong, 0444);
module_param(width, uint, 0444);
module_param(height, uint, 0444);
module_param(stride, uint, 0444);

static struct fb_info* info;
static u32 palette[16];

static const struct fb_ops panel_ops = {
    .owner = THIS_MODULE,
    .fb_fillrect = cfb_fillrect,
    .fb_copyarea = cfb_copyarea,
    .fb_imageblit = cfb_imageblit,
};

static int __init panel_init(void) {
    int error;

    info = framebuffer_alloc(0, NULL);
    if (!info) return -ENOMEM;
    strscpy(info->fix.id, "zq-bgr565", sizeof(info->fix.id));
    info->fix.type = FB_TYPE_PACKED_PIXELS;
    info->fix.visual = FB_VISUAL_TRUECOLOR;
    info->fix.line_length = stride;
    info->fix.smem_start = base;
    info->fix.smem_len = stride * height;
    info->var.xres = info->var.xres_virtual = width;
    info->var.yres = info->var.yres_virtual = height;
    info->var.bits_per_pixel = 16;
    info->var.red = (struct fb_bitfield){0, 5, 0};
    info->var.green = (struct fb_bitfield){5, 6, 0};
    info->var.blue = (struct fb_bitfield){11, 5, 0};
    info->var.height = info->var.width = -1;
    info->var.activate = FB_ACTIVATE_NOW;
    info->var.vmode = FB_VMODE_NONINTERLACED;
    info->fbops = &panel_ops;
    info->flags = FBINFO_DEFAULT;
    info->pseudo_palette = palette;
    info->screen_base = ioremap_wc(base, info->fix.smem_len);
    if (!info->screen_base) {
        framebuffer_release(info);
        return -ENOMEM;
    }
    memset_io(info->screen_base, 0, info->fix.smem_len);
    error = register_framebuffer(info);
    if (error) {
        iounmap(info->screen_base);
        framebuffer_release(info);
    }
    return error;
}

static void __exit panel_exit(void) {
    unregister_framebuffer(info);
    iounmap(info->screen_base);
    framebuffer_release(info);
}

module_init(panel_init);
module_exit(panel_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("blue-first 5-6-5 panel over video RAM");
