; agent.asm - the agent program for the display's EZ-USB controller
;
; The display's USB side is an Anchor Chips EZ-USB (AN21xx): an 8051 core whose
; program RAM the host fills through the chip's built-in 0xA0 request while the
; core is held in reset (CPUCS = 1), then lets run (CPUCS = 0).  Dotvane offers
; this program to the controller before it streams the main firmware; the
; display's own firmware decides whether it takes it.
;
; What the program does once released, deliberately little:
;   * disables interrupts and puts the stack above the register banks;
;   * re-enumerates (RENUM set, a short disconnect) so that the host sees the
;     descriptors below instead of the chip's built-in ones;
;   * polls for SETUP packets and answers the standard requests through a
;     small routine table: descriptors, status, configuration, interface.
;     Every class and vendor request is stalled - the agent carries no
;     transfer protocol of its own.
;
; The image is exactly 3456 bytes (0x0000..0x0D7F) with every byte defined, so
; that the Intel HEX output is one contiguous run from the reset address.  The
; host-side table generator relies on that; a size check at the end of this
; file breaks the assembly if the code ever outgrows the padding.
;
; Rebuilding agent.hex (needs Debian's sdcc package; the normal build only
; reads the committed agent.hex).  rebuild_hex.sh runs exactly this:
;
;     sdas8051 -plosgff agent.rel agent.asm
;     sdld -n -i agent.ihx agent.rel
;     packihx agent.ihx > agent.hex
;
; sdas8051 stores .dw words big-endian, so every little-endian USB word below
; is spelled out as two .db bytes.

	.module	agent

; ---------------------------------------------------------------------------
; EZ-USB (AN21xx) registers, all in external data space.

IN0BUF		= 0x7F00	; endpoint 0 IN buffer (64 bytes)
CPUCS		= 0x7F92	; 8051 control; the host owns it, listed for reference
USBIRQ		= 0x7FAB	; USB interrupt requests; write 1 to clear a bit
USBIEN		= 0x7FAE	; USB interrupt enables
EP0CS		= 0x7FB4	; endpoint 0 control and status
IN0BC		= 0x7FB5	; endpoint 0 IN byte count; writing it arms the IN
SUDPTRH		= 0x7FD4	; setup data pointer, high byte
SUDPTRL		= 0x7FD5	; setup data pointer, low byte; writing it starts
				; the core's descriptor transfer
USBCS		= 0x7FD6	; USB control and status
SETUPDAT	= 0x7FE8	; the 8 bytes of the last SETUP packet

; USBCS bits
DISCON		= 0x08		; drive the disconnect output
DISCOE		= 0x04		; enable the disconnect output
RENUM		= 0x02		; firmware, not the core, answers endpoint 0

; EP0CS bits
EP0STALL	= 0x01
HSNAK		= 0x02		; write 1 to finish the status stage

; USBIRQ bits
SUDAVIR		= 0x01		; a SETUP packet is waiting in SETUPDAT

; ---------------------------------------------------------------------------
; Internal RAM

config		= 0x30		; current configuration value, 0 or 1
STACK		= 0x60		; first stack byte; the 8051 pre-increments SP

; Standard request codes answered by the routine table (0..NREQ-1).
NREQ		= 12

; ---------------------------------------------------------------------------

	.area	CSEG (ABS,CODE)
	.org	0x0000
base:

; Fill with zero bytes (NOP) up to an offset from the reset address.  Plain
; .org would leave a hole in the HEX output; the image has to stay contiguous.
	.macro	padto addr
	.rept	addr - (. - base)
	.db	0x00
	.endm
	.endm

; Word alignment for descriptors: the core's SUDPTR transfer needs an even
; start address.
	.macro	align2
	.ifne	(. - base) & 1
	.db	0x00
	.endif
	.endm

; The reset vector; the host releases the core and it starts here.
	ljmp	start

; Interrupt vectors of the AN21xx (INT0 .. INT6).  Interrupts stay disabled,
; so none should ever fire; a stray one just returns.
	padto	0x0003
	reti
	padto	0x000B
	reti
	padto	0x0013
	reti
	padto	0x001B
	reti
	padto	0x0023
	reti
	padto	0x002B
	reti
	padto	0x0033
	reti
	padto	0x003B
	reti
	padto	0x0043
	reti
	padto	0x004B
	reti
	padto	0x0053
	reti
	padto	0x005B
	reti
	padto	0x0063
	reti

	padto	0x0080

; ---------------------------------------------------------------------------
; Start-up

start:
	clr	ea
	mov	sp,#STACK-1
	mov	config,#0

	; Polled operation: no USB interrupt sources.
	mov	dptr,#USBIEN
	clr	a
	movx	@dptr,a

	; Take endpoint 0 over from the core and make the host enumerate again:
	; drop off the bus long enough for the hub to notice, then come back.
	mov	dptr,#USBCS
	mov	a,#DISCON|DISCOE|RENUM
	movx	@dptr,a
	acall	delay
	mov	dptr,#USBIRQ
	mov	a,#0xFF			; forget whatever latched while detached
	movx	@dptr,a
	mov	dptr,#USBCS
	mov	a,#DISCOE|RENUM
	movx	@dptr,a

; The idle loop: wait for a SETUP packet, answer it, wait again.
idle:
	mov	dptr,#USBIRQ
	movx	a,@dptr
	jnb	acc.0,idle		; SUDAVIR
	mov	a,#SUDAVIR
	movx	@dptr,a			; clear it before answering, so that a
					; SETUP arriving meanwhile is not lost
	acall	setup
	sjmp	idle

; Roughly a second at 24 MHz: three nested countdowns.  The hub only reports
; the detach when the line stays disconnected for a while.
delay:
	mov	r4,#32
	mov	r5,#0
	mov	r6,#0
1$:	djnz	r6,1$
	djnz	r5,1$
	djnz	r4,1$
	ret

; ---------------------------------------------------------------------------
; SETUP dispatch

setup:
	mov	dptr,#SETUPDAT
	movx	a,@dptr			; bmRequestType
	anl	a,#0x60			; the type field
	jnz	stall			; class and vendor requests: none is ours
	inc	dptr
	movx	a,@dptr			; bRequest
	cjne	a,#NREQ,1$
1$:	jnc	stall			; beyond the table
	rl	a			; two bytes per AJMP entry
	mov	dptr,#reqtab
	jmp	@a+dptr

; One entry per standard request code.  Codes that need nothing beyond the
; handshake go to ack; SET_ADDRESS is carried out by the core itself.
reqtab:
	ajmp	get_status		; 0  GET_STATUS
	ajmp	ack			; 1  CLEAR_FEATURE
	ajmp	stall			; 2  (reserved)
	ajmp	ack			; 3  SET_FEATURE
	ajmp	stall			; 4  (reserved)
	ajmp	ack			; 5  SET_ADDRESS
	ajmp	get_descriptor		; 6  GET_DESCRIPTOR
	ajmp	stall			; 7  SET_DESCRIPTOR
	ajmp	get_config		; 8  GET_CONFIGURATION
	ajmp	set_config		; 9  SET_CONFIGURATION
	ajmp	get_interface		; 10 GET_INTERFACE
	ajmp	ack			; 11 SET_INTERFACE

; Finish the request: release the status stage.
ack:
	mov	dptr,#EP0CS
	mov	a,#HSNAK
	movx	@dptr,a
	ret

; Refuse the request.  HSNAK is cleared as well, so that the next SETUP
; starts from a clean endpoint.
stall:
	mov	dptr,#EP0CS
	mov	a,#EP0STALL|HSNAK
	movx	@dptr,a
	ret

; Send a short IN reply: A is the first byte, the second byte is 0, R7 the
; number of bytes (1 or 2).
in_reply:
	mov	dptr,#IN0BUF
	movx	@dptr,a
	inc	dptr
	clr	a
	movx	@dptr,a
	mov	dptr,#IN0BC
	mov	a,r7
	movx	@dptr,a
	sjmp	ack

; Bus powered, no remote wakeup, no halted endpoint: always two zero bytes.
get_status:
	clr	a
	mov	r7,#2
	sjmp	in_reply

get_config:
	mov	a,config
	mov	r7,#1
	sjmp	in_reply

; One interface with only alternate setting 0.
get_interface:
	clr	a
	mov	r7,#1
	sjmp	in_reply

; Only configuration values 0 (unconfigured) and 1 exist.
set_config:
	mov	dptr,#SETUPDAT+2
	movx	a,@dptr			; wValue, low byte
	cjne	a,#2,1$
1$:	jnc	stall
	mov	config,a
	sjmp	ack

; GET_DESCRIPTOR: point SUDPTR at the descriptor and let the core stream it;
; the core sizes the transfer from the descriptor's own length and wLength.
get_descriptor:
	mov	dptr,#SETUPDAT+3
	movx	a,@dptr			; descriptor type
	cjne	a,#1,1$
	mov	dptr,#dev_desc
	sjmp	send_desc
1$:	cjne	a,#2,2$
	mov	dptr,#conf_desc
	sjmp	send_desc
2$:	cjne	a,#3,no_desc
	mov	dptr,#SETUPDAT+2
	movx	a,@dptr			; string index
	cjne	a,#NSTR,3$
3$:	jnc	no_desc
	rl	a			; two bytes per table entry
	mov	r7,a
	mov	dptr,#str_tab
	movc	a,@a+dptr		; high byte of the descriptor address
	xch	a,r7
	inc	a
	movc	a,@a+dptr		; low byte
	mov	dpl,a
	mov	dph,r7
send_desc:
	mov	r7,dpl
	mov	a,dph
	mov	dptr,#SUDPTRH
	movx	@dptr,a
	inc	dptr			; SUDPTRL; writing it starts the transfer
	mov	a,r7
	movx	@dptr,a
	sjmp	ack
no_desc:
	sjmp	stall

; ---------------------------------------------------------------------------
; Descriptors

; Addresses of the string descriptors by index, high byte first (MOVC reads).
str_tab:
	.db	>str_lang, <str_lang
	.db	>str_manuf, <str_manuf
	.db	>str_product, <str_product
NSTR		= 3

	align2
dev_desc:
	.db	dev_desc_end - dev_desc	; bLength
	.db	0x01			; bDescriptorType: device
	.db	0x10, 0x01		; bcdUSB 1.10
	.db	0xFF			; bDeviceClass: vendor specific
	.db	0xFF			; bDeviceSubClass
	.db	0xFF			; bDeviceProtocol
	.db	64			; bMaxPacketSize0
	.db	0x47, 0x05		; idVendor 0x0547 (Anchor Chips)
	.db	0x31, 0x21		; idProduct 0x2131 (bare EZ-USB)
	.db	0x01, 0x00		; bcdDevice 0.01
	.db	1			; iManufacturer
	.db	2			; iProduct
	.db	0			; iSerialNumber
	.db	1			; bNumConfigurations
dev_desc_end:

	align2
conf_desc:
	.db	9			; bLength
	.db	0x02			; bDescriptorType: configuration
	.db	<(conf_desc_end - conf_desc), >(conf_desc_end - conf_desc)
					; wTotalLength
	.db	1			; bNumInterfaces
	.db	1			; bConfigurationValue
	.db	0			; iConfiguration
	.db	0x80			; bmAttributes: bus powered
	.db	50			; bMaxPower: 100 mA
	; The one interface, endpoint 0 only.
	.db	9			; bLength
	.db	0x04			; bDescriptorType: interface
	.db	0			; bInterfaceNumber
	.db	0			; bAlternateSetting
	.db	0			; bNumEndpoints
	.db	0xFF			; bInterfaceClass: vendor specific
	.db	0xFF			; bInterfaceSubClass
	.db	0xFF			; bInterfaceProtocol
	.db	0			; iInterface
conf_desc_end:

; String descriptors: bLength, type 3, then UTF-16LE characters.

	align2
str_lang:
	.db	str_lang_end - str_lang, 0x03
	.db	0x09, 0x04		; LANGID 0x0409, English (US)
str_lang_end:

	align2
str_manuf:
	.db	str_manuf_end - str_manuf, 0x03
	.db	'A, 0, 'n, 0, 'c, 0, 'h, 0, 'o, 0, 'r, 0
	.db	' , 0, 'C, 0, 'h, 0, 'i, 0, 'p, 0, 's, 0
str_manuf_end:

	align2
str_product:
	.db	str_product_end - str_product, 0x03
	.db	'E, 0, 'Z, 0, '-, 0, 'U, 0, 'S, 0, 'B, 0
	.db	' , 0, 'D, 0, 'e, 0, 'v, 0, 'i, 0, 'c, 0, 'e, 0
str_product_end:

; ---------------------------------------------------------------------------
; Padding to the full image size, then the size check.

AGENT_SIZE	= 0x0D80		; 3456 bytes

	padto	AGENT_SIZE

	.ifne	(. - base) - AGENT_SIZE
	agent_image_is_not_3456_bytes	; deliberate error: the code outgrew the padding
	.endif
