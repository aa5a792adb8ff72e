// An empty Windows program: the reference for the agent's start-up time.
int main() {
    return 0;
}
