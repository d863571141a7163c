// Code that writes fs:[0], the head of the thread's chain of frame-based exception handlers,
// in each way an instruction can, and code that only reads it: no-seh-frames must find the
// five writes in this object and take none of the reads for one.
extern "C" void register_frames() {
  asm volatile(
      "movl %%esp, %%fs:0\n"
      "movl $0, %%fs:0\n"
      "popl %%fs:0\n"
      "xchgl %%eax, %%fs:0\n"
      "addl %%eax, %%fs:0\n" ::
          : "eax", "memory");
}

extern "C" void read_frames() {
  asm volatile(
      "movl %%fs:0, %%eax\n"
      "pushl %%fs:0\n"
      "cmpl $0, %%fs:0\n"
      "testl %%eax, %%fs:0\n"
      "addl $4, %%esp\n" ::
          : "eax", "memory");
}
