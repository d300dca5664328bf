/* The editor page and the three Ace files, placed byte for byte in the
   program's read-only data between a start and an end label each. The paths
   come from the build as absolute file names. */

#define JOIN_(a, b) a##b
#define JOIN(a, b) JOIN_(a, b)
#define LABEL(name) JOIN(__USER_LABEL_PREFIX__, name)

#if defined(_WIN32)
    .section .rdata, "dr"
#elif defined(__APPLE__)
    .const
#else
    .section .rodata
#endif

#define EMBED(start, end, path) \
    .globl LABEL(start);        \
    .globl LABEL(end);          \
    .balign 16;                 \
LABEL(start):                   \
    .incbin path;               \
LABEL(end):

EMBED(tinkerpot_html_start, tinkerpot_html_end, TINKERPOT_HTML_PATH)
EMBED(ace_start, ace_end, ACE_PATH)
EMBED(mhjs_start, mhjs_end, MHJS_PATH)
EMBED(whjs_start, whjs_end, WHJS_PATH)

#if defined(__ELF__)
    .section .note.GNU-stack, "", %progbits
#endif
