"""A whole graph loop through zelk_core: plan, run supersteps, fold state, checkpoint, audit.

A tiny retrieval graph: `embed` turns a question into a vector, `retrieve` ranks stored
documents against it, `rank` and `cite` work on the hits side by side, and `answer` joins
them. Each node returns an update (channel name -> written value); the module folds a
whole superstep of updates into the state at once, frames each state as a checkpoint and
chains an audit entry per superstep.
"""

import json

import zelk_core

DOCUMENTS = {
    "bsp": [0.9, 0.1, 0.0],
    "json": [0.1, 0.8, 0.2],
    "sha": [0.0, 0.2, 0.9],
    "graphs": [0.8, 0.3, 0.1],
}
NAMES = list(DOCUMENTS)


def embed(state):
    return {"query": [1.0, 0.2, 0.0], "log": ["embedded"], "cost": 0.0004}


def retrieve(state):
    best = zelk_core.top_k(state["query"], [DOCUMENTS[n] for n in NAMES], 2)
    return {"hits": [NAMES[i] for i, _ in best], "scores": [round(s, 6) for _, s in best],
            "log": ["retrieved"], "cost": 0.0011}


def rank(state):
    return {"log": ["ranked"], "cost": 0.0023, "steps": 1}


def cite(state):
    return {"citations": [f"[{i + 1}] {hit}" for i, hit in enumerate(state["hits"])], "steps": 1}


def answer(state):
    return {"answer": f"Supersteps order nodes by their longest chain ({state['hits'][0]}).",
            "log": ["answered"], "cost": 0.0031, "steps": 1}


NODES = {"embed": embed, "retrieve": retrieve, "rank": rank, "cite": cite, "answer": answer}
EDGES = [("embed", "retrieve"), ("retrieve", "rank"), ("retrieve", "cite"),
         ("rank", "answer"), ("cite", "answer")]
REDUCERS = json.dumps({"log": "append", "cost": "add", "steps": "add"})


def main():
    plan = zelk_core.plan_supersteps(list(NODES), EDGES)
    print("plan:", plan)

    state_json = "{}"
    audit = []
    previous = "genesis"
    for number, superstep in enumerate(plan):
        state = json.loads(state_json)
        updates = [NODES[name](state) for name in superstep]
        state_json = zelk_core.advance_superstep(state_json, REDUCERS, json.dumps(updates))
        blob = zelk_core.encode_checkpoint(state_json)
        assert zelk_core.decode_checkpoint(blob) == state_json
        previous = zelk_core.hash_event(previous, state_json)
        audit.append((state_json, previous))
        print(f"superstep {number} {superstep}: {len(blob)}-byte checkpoint, link {previous[:16]}")

    final = json.loads(state_json)
    print("state:", state_json)
    print("costs:", zelk_core.aggregate_cost([final["cost"]]), "over", final["steps"], "joined steps")
    print("audit chain intact:", zelk_core.verify_chain("genesis", audit) is None)
    tampered = list(audit)
    tampered[1] = (tampered[1][0].replace("retrieved", "forged"), tampered[1][1])
    print("tampered entry found at:", zelk_core.verify_chain("genesis", tampered))


if __name__ == "__main__":
    main()
