/* The floor a static program pays for the C library: printf and a thread. */
#include <pthread.h>
#include <stdio.h>

static void* body(void* arg) { return arg; }

int main(void) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, body, NULL) == 0) pthread_join(thread, NULL);
    printf("%d\n", 1);
    return 0;
}
