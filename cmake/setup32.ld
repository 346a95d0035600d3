/* The installer program's layout: four sections with bytes in the file (and .bss)
   instead of MinGW's nine, so the 512-byte file alignment pads only four. Used
   for the i686 product and the x86_64 test build alike (-T replaces ld's script).

   .text     code and every read-only byte (strings, tables, x86_64 unwind data)
   .ovrasum  the payload checksum slot (the packer finds the section by this name
             and the slot by its tag), then all initialised writable data: the
             import tables (writable while the loader binds them) and .data
   .bss      zero-filled records: memory only, no bytes in the file
   .pdata    x86_64 only: the exception directory must be a section of that name
   .rsrc     icons and dialogs: the resource directory must be a section of that name
   .reloc    base relocations (i686: Win32s moves every program it loads); ld makes
             their contents, and the loader finds them through the directory entry

   The program starts at SetupStart (ui/entry.cpp) without the C run-time's start-up,
   so anything that needs it (constructors, TLS, pseudo-relocations of auto-imported
   data) stops the link instead of being silently skipped at run time. */

SECTIONS
{
  /DISCARD/ :
  {
    *(.debug$S) *(.debug$T) *(.debug$F)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    /* The compiler's version string, once per object. */
    *(.rdata$zzz)
    /* Frame tables for a DWARF unwinder that nothing in the program registers. */
    *(.eh_frame*)
  }

  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + (__section_alignment__ < 0x1000 ? . : __section_alignment__) :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    *(.rodata*)
    KEEP (*(.xdata*))
    __ctors_start = .;
    KEEP (*(.ctors)) KEEP (*(.ctor)) KEEP (*(.ctors.*))
    KEEP (*(.dtors)) KEEP (*(.dtor)) KEEP (*(.dtors.*))
    KEEP (*(SORT(.CRT$*)))
    KEEP (*(.tls)) KEEP (*(.tls$*))
    KEEP (*(.rdata_runtime_pseudo_reloc))
    __ctors_end = .;
  }
  ASSERT(__ctors_end == __ctors_start,
         "setup32.ld: constructors, TLS or pseudo-relocations need the C run-time start-up the program does not link")

  .ovrasum BLOCK(__section_alignment__) :
  {
    KEEP (*(.ovrasum))
    /* The import list; see pe.em:sort_sections for why it is not grouped. The
       address tables hold pointers: 8-byte aligned for x86_64. ld fills the
       import and address-table directories from these four symbols; by default
       it finds them through a section named .idata, which this layout has not. */
    . = ALIGN(8);
    ".idata$2" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    . = ALIGN(8);
    ".idata$4" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$4))
    ".idata$5" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$5))
    ".idata$6" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    *(.data)
    *(.data2)
    *(SORT(.data$*))
    *(.data.*)
  }

  /* Zero-filled records take memory only: merged into the section above they
     would be written out as zeros. */
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss)
    *(.bss.*)
    *(COMMON)
  }

  .pdata BLOCK(__section_alignment__) :
  {
    KEEP (*(.pdata*))
  }

  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }

  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
}
