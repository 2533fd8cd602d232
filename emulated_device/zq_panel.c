// The emulated device's own panel driver, for the screens of the device class
// that neither the PL111 nor a simple-framebuffer stands for: a framebuffer
// over the board's video RAM, rows stride bytes apart, in a format no
// simple-framebuffer names (b5g6r5: blue-first 5-6-5) or x8r8g8b8; of pages
// screens (2: double height, shown at the second page, as
// a page-flipping system leaves it); and with on_request=1 a panel that shows
// only what it is told of: the page panned to is copied to the picture at
// base + video memory (page aligned) then, never otherwise.
// Built against the device kernel's headers by zqdevice.py; never on a device.
#include <linux/fb.h>
#include <linux/io.h>
#include <linux/module.h>
#include <linux/string.h>

static unsigned long base = 0x4C000000;
static unsigned int width = 640;
static unsigned int height = 480;
static unsigned int stride = 1280;
static char* format = "b5g6r5";
static unsigned int pages = 1;
static unsigned int on_request;
module_param(base, ulong, 0444);
module_param(width, uint, 0444);
module_param(height, uint, 0444);
module_param(stride, uint, 0444);
module_param(format, charp, 0444);
module_param(pages, uint, 0444);
module_param(on_request, uint, 0444);

static struct fb_info* info;
static void __iomem* picture;
static u32 palette[16];

static const struct {
    const char* name;
    unsigned int bits;
    struct fb_bitfield red, green, blue;
} formats[] = {
    {"b5g6r5", 16, {0, 5, 0}, {5, 6, 0}, {11, 5, 0}},
    {"x8r8g8b8", 32, {16, 8, 0}, {8, 8, 0}, {0, 8, 0}},
};

static int panel_pan(struct fb_var_screeninfo* var, struct fb_info* fb) {
    if (picture)
        memcpy_toio(picture, (const void __force*)(fb->screen_base + var->yoffset * stride),
                    stride * height);
    return 0;
}

static const struct fb_ops panel_ops = {
    .owner = THIS_MODULE,
    .fb_pan_display = panel_pan,
    .fb_fillrect = cfb_fillrect,
    .fb_copyarea = cfb_copyarea,
    .fb_imageblit = cfb_imageblit,
};

static int __init panel_init(void) {
    const unsigned long video = stride * height * pages;
    int chosen = -1;
    int error = -ENOMEM;
    int i;

    for (i = 0; i < ARRAY_SIZE(formats); ++i)
        if (strcmp(format, formats[i].name) == 0) chosen = i;
    if (chosen < 0 || pages < 1 || pages > 2) return -EINVAL;
    info = framebuffer_alloc(0, NULL);
    if (!info) return -ENOMEM;
    strscpy(info->fix.id, on_request ? "zq-on-request" : "zq-panel", sizeof(info->fix.id));
    info->fix.type = FB_TYPE_PACKED_PIXELS;
    info->fix.visual = FB_VISUAL_TRUECOLOR;
    info->fix.line_length = stride;
    info->fix.ypanstep = 1;
    info->fix.smem_start = base;
    info->fix.smem_len = video;
    info->var.xres = info->var.xres_virtual = width;
    info->var.yres = height;
    info->var.yres_virtual = height * pages;
    info->var.yoffset = height * (pages - 1);
    info->var.bits_per_pixel = formats[chosen].bits;
    info->var.red = formats[chosen].red;
    info->var.green = formats[chosen].green;
    info->var.blue = formats[chosen].blue;
    info->var.height = info->var.width = -1;
    info->var.activate = FB_ACTIVATE_NOW;
    info->var.vmode = FB_VMODE_NONINTERLACED;
    info->fbops = &panel_ops;
    info->flags = FBINFO_DEFAULT;
    info->pseudo_palette = palette;
    info->screen_base = ioremap_wc(base, video);
    if (!info->screen_base) goto release;
    memset_io(info->screen_base, 0, video);
    if (on_request) {
        picture = ioremap_wc(base + PAGE_ALIGN(video), stride * height);
        if (!picture) goto unmap;
        memset_io(picture, 0, stride * height);
    }
    error = register_framebuffer(info);
    if (!error) return 0;
    if (picture) iounmap(picture);
unmap:
    iounmap(info->screen_base);
release:
    framebuffer_release(info);
    return error;
}

static void __exit panel_exit(void) {
    unregister_framebuffer(info);
    if (picture) iounmap(picture);
    iounmap(info->screen_base);
    framebuffer_release(info);
}

module_init(panel_init);
module_exit(panel_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("the emulated device's panels over video RAM");
